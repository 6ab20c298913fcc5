// Loading of one headerless LZW raster: the whole raster is decoded into one
// buffer, then handed to the host row by row (16-bit samples byte-swapped
// unless the fill order is 1, samples of 2, 4 and 9 to 15 bits spread into
// the host row layout first).
#include "frame/service_table.h"
#include "raw/raw_load.h"
#include "tiff/tif_lzw_decode.h"

#include <cstring>

namespace kv {

namespace {

// The raster's settings cannot describe a loadable image.
constexpr int32_t kBadGeometry = -1007;

constexpr uint64_t kInBufSize = 1u << 20;
constexpr uint64_t kTableEntries = 4096;
// The decoder takes its output size as a signed 32-bit count.
constexpr uint64_t kMaxImageBytes = 0x7FFFFFFF;

// Grey levels for the image's palette: n = 2^bits entries spread from 0 to 255.
void fill_grey_palette(uint8_t (&palette)[256][4], uint32_t bits_per_pixel) {
    std::memset(palette, 0, sizeof palette);
    const uint32_t n = bits_per_pixel <= 8 ? 1u << bits_per_pixel : 256u;
    for (uint32_t i = 0; i < n; ++i) {
        const auto level = static_cast<uint8_t>(i * 255 / (n - 1));
        palette[i][0] = palette[i][1] = palette[i][2] = level;
    }
}

// Bytes of one stored row: samples packed to whole bytes, padded to the alignment.
uint64_t padded_row_length(uint64_t width, uint32_t depth, uint32_t alignment) {
    const uint64_t align = alignment == 0 ? 1 : alignment;
    const uint64_t packed = (width * depth + 7) / 8;
    return (packed + align - 1) / align * align;
}

bool needs_unpacking(uint32_t depth) { return depth == 2 || depth == 4 || (depth >= 9 && depth <= 15); }

// Decodes the raster and delivers its rows. Returns the status of the read.
HostStatus read_raster(HostStream* stream, const RawSettings& settings, HostDibInfo* dib, uint32_t tag) {
    const uint64_t height = static_cast<uint64_t>(g_host.DIB_height_get(dib));
    const uint64_t width = static_cast<uint64_t>(g_host.DIB_width_get(dib));
    const uint32_t depth = g_host.DIB_bit_depth_get(dib);
    const uint64_t host_row = depth == 1 ? g_host.IO_raster_size_get(dib) : g_host.DIBStd_raster_size_get(dib, 0);

    const uint64_t packed_row = (width * depth + 7) / 8;
    const uint64_t padded_row = padded_row_length(width, depth, settings.alignment);
    const uint64_t image_size = padded_row * height;  // checked by the caller against kMaxImageBytes
    // The last row is handed over with the host's row size, which may reach
    // past the padded row: the buffer extends that far, zero-filled.
    uint64_t buffer_size = image_size;
    if (height > 0 && (height - 1) * padded_row + host_row > buffer_size) buffer_size = (height - 1) * padded_row + host_row;
    if (buffer_size == 0) buffer_size = 1;

    auto* row_buffer = static_cast<uint8_t*>(host_alloc(tag, host_row > 0 ? host_row : 1, module::kRaw, __LINE__));
    auto* prefix = static_cast<uint16_t*>(host_alloc(tag, kTableEntries * 2, module::kRaw, __LINE__));
    auto* first_byte = static_cast<uint8_t*>(host_alloc(tag, kTableEntries, module::kRaw, __LINE__));
    auto* last_byte = static_cast<uint8_t*>(host_alloc(tag, kTableEntries, module::kRaw, __LINE__));
    auto* stack = static_cast<uint8_t*>(host_alloc(tag, kTableEntries, module::kRaw, __LINE__));
    auto* in_buf = static_cast<uint8_t*>(host_alloc(tag, kInBufSize, module::kRaw, __LINE__));
    auto* image = static_cast<uint8_t*>(host_alloc(tag, buffer_size, module::kRaw, __LINE__));

    HostStatus status = 0;
    if (row_buffer == nullptr || prefix == nullptr || first_byte == nullptr || last_byte == nullptr ||
        stack == nullptr) {
        status = record_error(module::kRaw, __LINE__, err::kNoMemory);
    } else if (in_buf == nullptr) {
        status = record_error(module::kRaw, __LINE__, err::kNoMemory, 0, static_cast<int64_t>(kInBufSize), tag);
    } else if (image == nullptr) {
        status = record_error(module::kRaw, __LINE__, err::kNoMemory, 0, static_cast<int64_t>(image_size));
    } else {
        // Zero-filled as far as the decoder can reach; the rest of the
        // mebibyte is never touched, so its pages are never faulted in.
        std::memset(in_buf, 0, kLzwInputSpan);
        std::memset(image, 0, buffer_size);
        uint32_t written = 0;
        status = TIF_LZW_decode(stream, image, static_cast<int32_t>(image_size), prefix, first_byte, last_byte, stack,
                                in_buf, &written, static_cast<uint16_t>(settings.fill_order));
        for (uint64_t r = 0; status == 0 && r < height; ++r) {
            uint8_t* row = image + r * padded_row;
            if (depth >= 9 && depth <= 16 && settings.fill_order != 1) {
                // Swap whole 16-bit pairs of the packed row only.
                for (uint64_t i = 0; i + 1 < packed_row; i += 2) {
                    const uint8_t t = row[i];
                    row[i] = row[i + 1];
                    row[i + 1] = t;
                }
            }
            const uint8_t* handed = row;
            if (needs_unpacking(depth)) {
                status = g_host.iKV_IP_raster_unpack(1, depth, width, row, row_buffer, static_cast<uint32_t>(packed_row));
                if (status != 0) break;
                handed = row_buffer;
            }
            status = g_host.IO_raster_set(stream, handed, static_cast<int64_t>(r), host_row);
        }
    }
    host_free(tag, image, module::kRaw, __LINE__);
    host_free(tag, in_buf, module::kRaw, __LINE__);
    host_free(tag, stack, module::kRaw, __LINE__);
    host_free(tag, last_byte, module::kRaw, __LINE__);
    host_free(tag, first_byte, module::kRaw, __LINE__);
    host_free(tag, prefix, module::kRaw, __LINE__);
    host_free(tag, row_buffer, module::kRaw, __LINE__);
    return status;
}

}  // namespace

HostStatus raw_lzw_load(HostStream* stream, void* settings_record) {
    const int64_t start = g_host.IO_tell(stream);
    const uint32_t tag = new_memory_tag(module::kRaw, __LINE__);
    const RawSettings settings = settings_record != nullptr ? *static_cast<const RawSettings*>(settings_record)
                                                            : RawSettings{};

    g_host.IO_byte_order_set(stream, 0);
    // Settings that cannot work are refused before any arithmetic on them
    // (the grey palette divides by 2^bits - 1, and the description takes 32-bit
    // sizes); whether the host can describe a depth is the host's to say.
    if (settings.bits_per_pixel == 0) {
        record_error(module::kRaw, __LINE__, kBadGeometry, settings.bits_per_pixel, 0, 0, "BITS_PER_PIXEL 0");
    } else if (settings.width > kMaxImageBytes || settings.height > kMaxImageBytes) {
        record_error(module::kRaw, __LINE__, kBadGeometry, static_cast<int64_t>(settings.width),
                     static_cast<int64_t>(settings.height), 0, "WIDTH or HEIGHT above 2^31 - 1");
    } else if (const uint64_t row = padded_row_length(settings.width, settings.bits_per_pixel, settings.alignment);
               settings.height != 0 && row > kMaxImageBytes / settings.height) {
        record_error(module::kRaw, __LINE__, kBadGeometry, static_cast<int64_t>(settings.width),
                     static_cast<int64_t>(settings.height), settings.bits_per_pixel,
                     "raster too large: 2 GiB or more of decoded rows");
    }

    uint8_t palette[256][4];
    HostDibInfo* dib = nullptr;
    const uint32_t conversion[5] = {0, 1, 0, 1, 2};
    if (error_status() == 0) {
        fill_grey_palette(palette, settings.bits_per_pixel);
        const uint32_t depth = settings.bits_per_pixel;
        const uint32_t format_code = depth >= 9 && depth <= 16 ? 503 : 0;
        if (g_host.DIB_info_create_cnvt_res(&dib, static_cast<uint32_t>(settings.width),
                                            static_cast<uint32_t>(settings.height), depth, format_code,
                                            conversion) == 0 &&
            g_host.DIB_colorspace_get(dib) == 3) {
            g_host.DIB_palette_alloc(dib);
            void* target = g_host.DIB_palette_pointer_get(dib);
            uint32_t size = g_host.DIB_palette_size_get(dib);
            if (size > sizeof palette) size = sizeof palette;
            if (target != nullptr) std::memcpy(target, palette, size);
        }
    }
    if (error_status() == 0 && dib != nullptr) {
        if (g_host.IO_DIB_create_ex(stream, dib) == 0) {
            g_host.IO_attribute_set(stream, KV_ATTR_CONVERSION, reinterpret_cast<uintptr_t>(conversion));
            read_raster(stream, settings, dib, tag);
        }
    }
    const HostStatus result = error_status();

    host_free_all(tag, module::kRaw, __LINE__);
    if (dib != nullptr) g_host.DIB_info_delete(dib);
    if (result != 0) g_host.IO_seek(stream, start, 0);
    return result;
}

}  // namespace kv
