// Image descriptions (DIB_*), the palette, raster sizes, and the delivery of
// a loaded image through its stream (IO_DIB_create_ex, IO_raster_set,
// IO_attribute_set/get).
#include "kvhost/huge_pages.h"
#include "kvhost/errors.h"
#include "kvhost/host_image.h"
#include "kvhost/image.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kvhost {

uint32_t host_row_size(uint32_t width, uint32_t depth, uint32_t channels, uint32_t bits_per_channel) {
    if (depth == 1) return (width + 7) / 8;
    const uint64_t bytes_per_sample = bits_per_channel <= 8 ? 1 : bits_per_channel <= 16 ? 2 : 4;
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{width} * channels * bytes_per_sample, UINT32_MAX));
}

namespace {

constexpr const char* kModule = KVHOST_MODULE("dib");

// Colour space, channels and bits per channel for a depth and format code.
bool choose_layout(HostDibInfo& dib) {
    if (dib.format_code == format_code::kGreyWide) {
        if (dib.depth < 9 || dib.depth > 16) return false;
        dib.colorspace = colorspace::kGrey;
        dib.channels = 1;
        dib.bits_per_channel = dib.depth;
        return true;
    }
    if (dib.format_code != 0) return false;
    switch (dib.depth) {
        case 1: case 2: case 4: case 8:
            dib.colorspace = colorspace::kPalette;
            dib.channels = 1;
            dib.bits_per_channel = dib.depth;
            return true;
        case 16: dib.colorspace = colorspace::kGrey; dib.channels = 1; dib.bits_per_channel = 16; return true;
        case 24: dib.colorspace = colorspace::kRgb; dib.channels = 3; dib.bits_per_channel = 8; return true;
        case 32: dib.colorspace = colorspace::kRgba; dib.channels = 4; dib.bits_per_channel = 8; return true;
        case 48: dib.colorspace = colorspace::kRgb; dib.channels = 3; dib.bits_per_channel = 16; return true;
        case 64: dib.colorspace = colorspace::kRgba; dib.channels = 4; dib.bits_per_channel = 16; return true;
        default: return false;
    }
}

uint32_t row_size_of(const HostDibInfo* dib) {
    return host_row_size(dib->width, dib->depth, dib->channels, dib->bits_per_channel);
}

HostStatus bad_argument(int32_t line, const std::string& text) {
    return record_host_error(kModule, line, host_error::kBadArgument, text);
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

extern "C" HostStatus kvhost_DIB_info_create_cnvt_res(HostDibInfo** dib_out, uint32_t width, uint32_t height,
                                                      uint32_t depth, uint32_t format_code, const void* conversion) {
    if (dib_out == nullptr) return bad_argument(__LINE__, "DIB_info_create_cnvt_res without a handle address");
    *dib_out = nullptr;
    auto* dib = new (std::nothrow) HostDibInfo;
    if (dib == nullptr) return record_host_error(kModule, __LINE__, host_error::kNoMemory, "image description");
    dib->width = width;
    dib->height = height;
    dib->depth = depth;
    dib->format_code = format_code;
    if (!choose_layout(*dib)) {
        delete dib;
        return bad_argument(__LINE__, "no image layout for depth " + std::to_string(depth) + " with format code " +
                                          std::to_string(format_code));
    }
    dib->channel_depths.assign(dib->channels, dib->bits_per_channel);
    if (conversion != nullptr) std::memcpy(dib->conversion, conversion, sizeof dib->conversion);
    *dib_out = dib;
    return 0;
}

extern "C" HostStatus kvhost_DIB_info_delete(HostDibInfo* dib) {
    delete dib;
    return 0;
}

extern "C" HostStatus kvhost_DIB_palette_alloc(HostDibInfo* dib) {
    if (dib == nullptr) return bad_argument(__LINE__, "DIB_palette_alloc without a description");
    if (dib->colorspace == colorspace::kPalette && !dib->palette_allocated) {
        dib->palette.assign(size_t{4} << dib->depth, 0);
        dib->palette_allocated = true;
    }
    return 0;
}

extern "C" uint32_t kvhost_DIB_palette_size_get(HostDibInfo* dib) {
    return dib != nullptr ? static_cast<uint32_t>(dib->palette.size()) : 0;
}

extern "C" void* kvhost_DIB_palette_pointer_get(HostDibInfo* dib) {
    return dib != nullptr && !dib->palette.empty() ? dib->palette.data() : nullptr;
}

extern "C" uint32_t kvhost_DIB_bit_depth_get(HostDibInfo* dib) { return dib != nullptr ? dib->depth : 0; }
extern "C" int64_t kvhost_DIB_width_get(HostDibInfo* dib) { return dib != nullptr ? dib->width : 0; }
extern "C" int64_t kvhost_DIB_height_get(HostDibInfo* dib) { return dib != nullptr ? dib->height : 0; }
extern "C" uint32_t kvhost_DIB_colorspace_get(HostDibInfo* dib) { return dib != nullptr ? dib->colorspace : 0; }

// Rows are never padded, so every mode gives the same size.
extern "C" uint32_t kvhost_DIBStd_raster_size_get(HostDibInfo* dib, uint32_t) {
    return dib != nullptr ? row_size_of(dib) : 0;
}

extern "C" uint32_t kvhost_DIB1bit_packed_raster_size_get(HostDibInfo* dib, uint32_t) {
    return dib != nullptr ? (dib->width + 7) / 8 : 0;
}

extern "C" uint32_t kvhost_IO_raster_size_get(HostDibInfo* dib) { return dib != nullptr ? row_size_of(dib) : 0; }

extern "C" uint32_t kvhost_DIB_bits_per_channel_calc(uint32_t depth) {
    return depth <= 8 ? 8 : depth <= 16 ? 16 : 32;
}

extern "C" const int64_t* kvhost_DIB_channel_depths_ref_get(HostDibInfo* dib) {
    return dib != nullptr && !dib->channel_depths.empty() ? dib->channel_depths.data() : nullptr;
}

extern "C" int64_t kvhost_GPb_math_max_get_int(uint32_t count, const int64_t* values) {
    if (count == 0 || values == nullptr) return 0;
    return *std::max_element(values, values + count);
}

// The input record of filter ops 6, 7, 38 and 39 is the address of the image
// description to be saved; the filter gets its own copy and frees it.
extern "C" HostStatus kvhost__Gpr_fltrm_HDibI_from_params_get(const void* input, int32_t, HostDibInfo** dib_out,
                                                              int32_t) {
    if (dib_out == nullptr) return bad_argument(__LINE__, "no handle address");
    *dib_out = input != nullptr ? new (std::nothrow) HostDibInfo(*static_cast<const HostDibInfo*>(input)) : nullptr;
    return 0;
}

extern "C" HostStatus kvhost__Gpr_fltrm_HDibI_from_params_free(const void*, HostDibInfo* dib, int32_t) {
    delete dib;
    return 0;
}

namespace {

// A load whose stream names an image destination decodes into a new host
// image placed there (the one a multi-page source composes from).
HostStatus create_destination_image(HostStream* stream, HostDibInfo* dib) {
    stream->sink.destination_image = nullptr;
    *stream->descriptor.image_destination = nullptr;
    if (dib->colorspace != colorspace::kPalette) return bad_argument(__LINE__, "only indexed images have a destination");
    if (uint64_t{dib->width} * dib->height > stream->sink.max_image_bytes) {
        return record_host_error(kModule, __LINE__, host_error::kImageTooLarge,
                                 std::to_string(dib->width) + " x " + std::to_string(dib->height) + " image", 0,
                                 dib->width, dib->height);
    }
    HostImage* image = images::create(dib->width, dib->height, dib->depth);
    if (image == nullptr) return error_status();
    std::memcpy(image->palette.data(), dib->palette.data(), std::min(dib->palette.size(), image->palette.size()));
    *stream->descriptor.image_destination = image;
    stream->sink.destination_image = image;
    return 0;
}

// One delivered row of the host row layout into the destination image.
void store_destination_row(HostImage* image, const uint8_t* row, int64_t y) {
    uint8_t* to = image->row(static_cast<uint32_t>(y));
    if (image->depth == 8) {
        std::memcpy(to, row, image->width);
    } else if (image->depth == 1) {
        for (uint32_t x = 0; x < image->width; ++x) to[x] = (row[x / 8] >> (7 - x % 8)) & 1;
    } else {
        const uint8_t mask = static_cast<uint8_t>((1u << image->depth) - 1);
        for (uint32_t x = 0; x < image->width; ++x) to[x] = row[x] & mask;
    }
}

}  // namespace

extern "C" HostStatus kvhost_IO_DIB_create_ex(HostStream* stream, HostDibInfo* dib) {
    if (stream == nullptr || dib == nullptr) return bad_argument(__LINE__, "IO_DIB_create_ex without stream or image");
    if (stream->descriptor.image_destination != nullptr) return create_destination_image(stream, dib);
    auto image = std::make_unique<LoadedImage>();
    image->width = dib->width;
    image->height = dib->height;
    image->depth = dib->depth;
    image->colorspace = dib->colorspace;
    image->channels = dib->channels;
    image->bits_per_channel = dib->bits_per_channel;
    image->row_size = row_size_of(dib);
    image->palette = dib->palette;
    const uint64_t bytes = uint64_t{image->row_size} * image->height;
    if (bytes > stream->sink.max_image_bytes) {
        return record_host_error(kModule, __LINE__, host_error::kImageTooLarge,
                                 std::to_string(dib->width) + " x " + std::to_string(dib->height) +
                                     " image needs " + std::to_string(bytes) + " bytes",
                                 0, static_cast<int64_t>(bytes));
    }
    if (stream->sink.row_consumer) {
        // The rows pass through: nothing to hold.
        stream->sink.image = std::move(image);
        return 0;
    }
    if (!keep_for_load(stream, 0, bytes, "image rows")) return error_status();
    try {
        image->pixels.reserve(bytes);
        advise_huge_pages(image->pixels.data(), bytes);
        image->pixels.resize(bytes);
    } catch (const std::bad_alloc&) {
        return record_host_error(kModule, __LINE__, host_error::kNoMemory, "image rows", 0,
                                 static_cast<int64_t>(bytes));
    }
    stream->sink.image = std::move(image);
    return 0;
}

extern "C" HostStatus kvhost_IO_raster_set(HostStream* stream, const void* row, int64_t row_index, uint64_t count) {
    if (stream == nullptr || row == nullptr) return bad_argument(__LINE__, "IO_raster_set without stream or row");
    if (stream->descriptor.image_destination != nullptr) {
        HostImage* target = stream->sink.destination_image;
        if (!images::is_live(target)) return bad_argument(__LINE__, "IO_raster_set before IO_DIB_create_ex");
        if (row_index < 0 || row_index >= target->height) return bad_argument(__LINE__, "row outside the image");
        if (count < host_row_size(target->width, target->depth, 1, target->depth))
            return bad_argument(__LINE__, "short row");
        store_destination_row(target, static_cast<const uint8_t*>(row), row_index);
        return 0;
    }
    LoadedImage* image = stream->sink.image.get();
    if (image == nullptr) return bad_argument(__LINE__, "IO_raster_set before IO_DIB_create_ex");
    if (row_index < 0 || row_index >= image->height) {
        return bad_argument(__LINE__, "row " + std::to_string(row_index) + " outside an image of height " +
                                          std::to_string(image->height));
    }
    if (row_index == stream->faults.fail_raster_row) return bad_argument(__LINE__, "row delivery failed (test fault)");
    const uint64_t n = std::min<uint64_t>(count, image->row_size);
    if (stream->sink.row_consumer) {
        ++image->rows_delivered;
        return stream->sink.row_consumer(row_index, static_cast<const uint8_t*>(row), n);
    }
    if (n != 0) std::memcpy(image->pixels.data() + static_cast<size_t>(row_index) * image->row_size, row, n);
    image->row_order.push_back(row_index);
    ++image->rows_delivered;
    return 0;
}

namespace {

// Attributes whose value is the address of this many bytes.
size_t addressed_size(uint32_t attribute) {
    switch (attribute) {
        case KV_ATTR_TRANSPARENT_COLOR: return 3;
        case KV_ATTR_CONVERSION: return 5 * sizeof(uint32_t);
        case KV_ATTR_POSITION: return 2 * sizeof(uint64_t);
        default: return 0;
    }
}

}  // namespace

extern "C" HostStatus kvhost_IO_attribute_set(HostStream* stream, uint32_t attribute, uint64_t value_or_address) {
    if (stream == nullptr) return bad_argument(__LINE__, "IO_attribute_set without a stream");
    AttributeValue value;
    const size_t size = addressed_size(attribute);
    if (size != 0) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(value_or_address));
        if (bytes == nullptr) return bad_argument(__LINE__, "attribute " + std::to_string(attribute) + " without data");
        value.bytes.assign(bytes, bytes + size);
    } else {
        value.value = value_or_address;
    }
    stream->sink.attributes[attribute] = std::move(value);
    return 0;
}

// Writes the attribute to value_out and answers 1, or answers 0 when the
// stream has no such attribute. Addressed attributes give their bytes; the
// delay (2) a 16-bit value; the others a 32-bit value.
extern "C" int32_t kvhost_IO_attribute_get(HostStream* stream, uint32_t attribute, void* value_out) {
    if (stream == nullptr || value_out == nullptr) return 0;
    auto it = stream->sink.attributes.find(attribute);
    if (it == stream->sink.attributes.end()) return 0;
    const AttributeValue& value = it->second;
    if (!value.bytes.empty()) {
        std::memcpy(value_out, value.bytes.data(), value.bytes.size());
    } else if (attribute == KV_ATTR_DELAY) {
        const auto delay = static_cast<uint16_t>(value.value);
        std::memcpy(value_out, &delay, sizeof delay);
    } else {
        const auto word = static_cast<uint32_t>(value.value);
        std::memcpy(value_out, &word, sizeof word);
    }
    return 1;
}
