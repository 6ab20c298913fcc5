// TIFF LZW strip service: decodes every strip of one image with the shared
// LZW routine, rebuilds its rows and hands them to the host in order.
#include "frame/service_table.h"
#include "tiff/named_services.h"
#include "tiff/tif_lzw_decode.h"
#include "tiff/tif_rows.h"

#include <algorithm>
#include <cstring>

namespace kv {

namespace {

constexpr int32_t kYCbCr = 6;
constexpr uint32_t kTagYCbCrSubSampling = 72;
// Slack after rows the row routines may overshoot by a partial block or
// the padding bits of a packed plane row.
constexpr uint32_t kRowSlack = 128;
constexpr uint64_t kInBufSize = 1048576;

// Everything allocated by one call, freed on every path by the destructor.
class CallBuffers {
public:
    explicit CallBuffers(uint32_t tag) : tag_(tag) {}
    CallBuffers(const CallBuffers&) = delete;
    CallBuffers& operator=(const CallBuffers&) = delete;
    ~CallBuffers() {
        for (int i = count_; i-- > 0;) host_free(tag_, blocks_[i], module::kTiff, __LINE__);
    }

    // Records -1000 on failure, with the details in the order given.
    void* get(uint64_t size, bool size_first, int32_t line) {
        void* block = host_alloc(tag_, size, module::kTiff, line);
        if (block == nullptr) {
            if (size_first) {
                record_error(module::kTiff, line, err::kNoMemory, 0, static_cast<int64_t>(size), tag_);
            } else {
                record_error(module::kTiff, line, err::kNoMemory, 0, tag_, static_cast<int64_t>(size));
            }
            failed_ = true;
            return nullptr;
        }
        if (count_ < kMax) blocks_[count_++] = block;
        return block;
    }
    bool failed() const { return failed_; }

private:
    static constexpr int kMax = 32;
    uint32_t tag_;
    void* blocks_[kMax] = {};
    int count_ = 0;
    bool failed_ = false;
};

HostStatus refuse(int32_t line, const char* what, int64_t d0 = 0, int64_t d1 = 0) {
    return record_error(module::kTiff, line, err::kTiffLayout, d0, d1, 0, what);
}

struct Tables {
    uint8_t* stack = nullptr;
    uint16_t* prefix = nullptr;
    uint8_t* first_byte = nullptr;
    uint8_t* last_byte = nullptr;
    uint8_t* in_buf = nullptr;
};

HostStatus decode(HostStream* stream, uint8_t* out, uint64_t size, const Tables& t, uint16_t fill_order,
                  uint32_t* written) {
    *written = 0;
    const HostStatus status = TIF_LZW_decode(stream, out, static_cast<int32_t>(size), t.prefix, t.first_byte,
                                             t.last_byte, t.stack, t.in_buf, written, fill_order);
    if (*written > size) *written = static_cast<uint32_t>(size);
    return status;
}

// Bytes per host sample for a TIFF sample depth, as the raster services
// place them.
uint64_t host_sample_bytes(int64_t depth) { return depth <= 8 ? 1 : depth <= 16 ? 2 : 4; }

}  // namespace

HostStatus TIF_Proc_LZW_Comp(HostStream* stream, HostTiff* tif_handle, uint32_t tag, HostDibInfo* dib_info,
                             uint32_t base_offset, int32_t planar_config, int32_t photometric, uint16_t fill_order,
                             int32_t predictor, const int16_t* bits_per_sample, int32_t samples_per_pixel,
                             uint32_t extra_samples, int32_t rows_per_strip, int32_t strip_count,
                             int32_t strips_per_plane, const uint32_t* strip_offsets,
                             const uint32_t* /*strip_byte_counts: strips end at their end code*/,
                             int32_t offset_count) {
    const int32_t byte_order = g_host.IO_byte_order_get(stream);
    const bool ycbcr = photometric == kYCbCr;

    // Refusals come first: they must precede every division and table index.
    if (bits_per_sample == nullptr || samples_per_pixel <= 0) {
        return refuse(__LINE__, "no bits per sample", samples_per_pixel);
    }
    if (planar_config == 2 && samples_per_pixel > kMaxPlanes) {
        return refuse(__LINE__, "more than 8 separate planes", samples_per_pixel);
    }
    if (planar_config == 2 && ycbcr) return refuse(__LINE__, "YCbCr with separate planes");
    uint64_t total_bits = 0;
    for (int32_t k = 0; k < samples_per_pixel; ++k) {
        if (bits_per_sample[k] <= 0) return refuse(__LINE__, "a sample of zero bits", k, bits_per_sample[k]);
        total_bits += static_cast<uint64_t>(bits_per_sample[k]);
    }

    const int64_t width = g_host.DIB_width_get(dib_info);
    const int64_t height = g_host.DIB_height_get(dib_info);
    const uint32_t host_row = g_host.IO_raster_size_get(dib_info);
    const int64_t* depths = g_host.DIB_channel_depths_ref_get(dib_info);
    if (width <= 0 || host_row == 0) return refuse(__LINE__, "a row of zero length", width, host_row);
    if (height < 0) return refuse(__LINE__, "a negative height", height);
    if (planar_config == 1 || planar_config == 2) {
        if (rows_per_strip <= 0) return refuse(__LINE__, "no rows per strip", rows_per_strip);
    }

    uint32_t h = 1, v = 1;
    if (ycbcr) {
        int16_t sub[2] = {1, 1};
        if (g_host._TIF_tag_val_return(tif_handle, kTagYCbCrSubSampling, 0, sub, sizeof sub, 0) == 0) {
            sub[0] = sub[1] = 1;
        }
        // The output buffers' slack covers a partial block up to 4 pixels wide.
        if (sub[0] <= 0 || sub[1] <= 0 || sub[0] > 4 || sub[1] > 4) {
            return refuse(__LINE__, "YCbCr subsampling outside 1 to 4", sub[0], sub[1]);
        }
        h = static_cast<uint32_t>(sub[0]);
        v = static_cast<uint32_t>(sub[1]);
        if (uint64_t{host_row} < uint64_t(width) * 3) return refuse(__LINE__, "host row too short for RGB", host_row);
    }
    const uint64_t blocks = (uint64_t(width) + h - 1) / h;

    // Row lengths, and what the row routines will write into the host row.
    uint64_t row_length = 0;
    uint64_t plane_length[kMaxPlanes] = {};
    if (planar_config == 1) {
        row_length = ycbcr ? (uint64_t{h} * v + 2) * blocks : (total_bits * uint64_t(width) + 7) / 8;
        if (!ycbcr) {
            const int64_t d0 = depths != nullptr ? depths[0] : bits_per_sample[0];
            const bool unpacks = d0 == 4 || d0 == 12 || (total_bits == 4 && photometric == 5);
            const bool packed_rgb = photometric == 2 && total_bits == 16;
            if (unpacks || packed_rgb || photometric == 8) {
                int64_t widest = 0;
                for (int32_t k = 0; k < samples_per_pixel; ++k) widest = std::max<int64_t>(widest, bits_per_sample[k]);
                const uint64_t need = uint64_t(width) * static_cast<uint64_t>(samples_per_pixel) *
                                      host_sample_bytes(packed_rgb ? widest : d0);
                if (need > host_row) return refuse(__LINE__, "host row too short for the samples", host_row);
            }
        }
    } else if (planar_config == 2) {
        for (int32_t k = 0; k < samples_per_pixel; ++k) {
            if (bits_per_sample[k] != bits_per_sample[0]) {
                return refuse(__LINE__, "separate planes of different depths", k, bits_per_sample[k]);
            }
            plane_length[k] = (static_cast<uint64_t>(bits_per_sample[k]) * uint64_t(width) + 7) / 8;
        }
        const int64_t d = bits_per_sample[0];
        const uint64_t samples = d == 8 ? plane_length[0] : plane_length[0] * 8 / static_cast<uint64_t>(d);
        const uint64_t need = samples * static_cast<uint64_t>(samples_per_pixel) * host_sample_bytes(d);
        if (need > uint64_t{host_row} + kRowSlack) return refuse(__LINE__, "host row too short for the planes");
    }

    // Strip rows beyond the image height are never delivered, so buffers need
    // not hold them (a RowsPerStrip far above the height is common). A YCbCr
    // strip buffer holds that many rows of blocks, v times what a full strip
    // fills: decoding then runs on to the strip's end code, and the next
    // strip read back to back starts after it.
    uint64_t strip_rows = static_cast<uint64_t>(rows_per_strip > 0 ? rows_per_strip : 0);
    if (strip_rows > uint64_t(height)) strip_rows = uint64_t(height) > 0 ? uint64_t(height) : 1;
    const uint64_t strip_size = row_length * strip_rows;
    if (planar_config == 1 && (row_length == 0 || strip_size > 0x7FFFFFFF || row_length > 0x7FFFFFFF)) {
        return refuse(__LINE__, "strip too large to decode", static_cast<int64_t>(strip_size));
    }
    for (int32_t k = 0; planar_config == 2 && k < samples_per_pixel; ++k) {
        if (plane_length[k] * strip_rows > 0x7FFFFFFF) return refuse(__LINE__, "plane strip too large to decode");
    }

    CallBuffers buffers(tag);
    Tables t;
    t.stack = static_cast<uint8_t*>(buffers.get(4096, true, __LINE__));
    t.prefix = static_cast<uint16_t*>(buffers.get(8192, true, __LINE__));
    t.first_byte = static_cast<uint8_t*>(buffers.get(4096, true, __LINE__));
    t.last_byte = static_cast<uint8_t*>(buffers.get(4096, true, __LINE__));
    t.in_buf = static_cast<uint8_t*>(buffers.get(kInBufSize, true, __LINE__));
    if (buffers.failed()) return error_status();

    uint8_t* ycbcr_rows[4] = {};
    if (ycbcr) {
        auto** pointers = static_cast<uint8_t**>(buffers.get(uint64_t{v} * sizeof(uint8_t*), false, __LINE__));
        for (uint32_t j = 0; j < v && !buffers.failed(); ++j) {
            ycbcr_rows[j] = static_cast<uint8_t*>(buffers.get(uint64_t{host_row} + kRowSlack, false, __LINE__));
            if (ycbcr_rows[j] != nullptr) std::memset(ycbcr_rows[j], 0, uint64_t{host_row} + kRowSlack);
            if (pointers != nullptr) pointers[j] = ycbcr_rows[j];
        }
        if (buffers.failed()) return error_status();
    }

    HostStatus status = 0;
    if (planar_config == 1) {
        auto* strip = static_cast<uint8_t*>(buffers.get(strip_size, false, __LINE__));
        uint8_t* row_buffer = nullptr;
        if (!ycbcr) row_buffer = static_cast<uint8_t*>(buffers.get(host_row, false, __LINE__));
        if (buffers.failed()) return error_status();
        if (row_buffer != nullptr) std::memset(row_buffer, 0, host_row);

        int64_t r = 0;
        for (int32_t s = 0; s < strip_count && status == 0; ++s) {
            if (strip_offsets != nullptr && s < offset_count) {
                g_host.IO_seek(stream, static_cast<uint32_t>(strip_offsets[s] + base_offset), 0);
            }
            uint32_t n = 0;
            status = decode(stream, strip, strip_size, t, fill_order, &n);
            if (status != 0) break;
            if (n < strip_size) std::memset(strip + n, 0, strip_size - n);
            // Every row of the strip is delivered, those the data did not
            // reach as zero bytes: a short strip must not move the rows of
            // the strips after it up into its own.
            const uint64_t m = ycbcr ? (strip_rows + v - 1) / v : strip_rows;
            for (uint64_t i = 0; i < m && r < height && status == 0; ++i) {
                uint8_t* row = strip + i * row_length;
                TIF_predictor_undo(row, static_cast<uint32_t>(row_length), bits_per_sample[0],
                                   static_cast<uint32_t>(samples_per_pixel), predictor, byte_order);
                if (!ycbcr) {
                    const uint8_t* finished = TIF_chunky_row_convert(
                        row, static_cast<uint32_t>(row_length), static_cast<uint64_t>(width),
                        static_cast<int16_t>(photometric), static_cast<uint32_t>(total_bits), depths,
                        samples_per_pixel, extra_samples, row_buffer, host_row, byte_order);
                    // A row that could not be converted goes out as the row buffer held it.
                    status = g_host.IO_raster_set(stream, finished != nullptr ? finished : row_buffer, r, host_row);
                    ++r;
                } else {
                    TIF_YCbCr_rows_convert(tif_handle, row, ycbcr_rows, static_cast<uint32_t>(blocks), h, v);
                    // A failed delivery ends the work after the whole row of
                    // blocks; the first failure is the one reported.
                    for (uint32_t j = 0; j < v; ++j) {
                        if (r < height) {
                            const HostStatus delivered = g_host.IO_raster_set(stream, ycbcr_rows[j], r, host_row);
                            if (status == 0) status = delivered;
                        }
                        ++r;
                    }
                }
            }
        }
    } else if (planar_config == 2) {
        uint8_t* planes[kMaxPlanes] = {};
        uint32_t lengths[kMaxPlanes] = {};
        for (int32_t k = 0; k < samples_per_pixel; ++k) {
            planes[k] = static_cast<uint8_t*>(buffers.get(plane_length[k] * strip_rows, false, __LINE__));
            lengths[k] = static_cast<uint32_t>(plane_length[k]);
        }
        auto* row_buffer = static_cast<uint8_t*>(buffers.get(uint64_t{host_row} + kRowSlack, false, __LINE__));
        if (buffers.failed()) return error_status();
        std::memset(row_buffer, 0, uint64_t{host_row} + kRowSlack);

        int64_t r = 0;
        for (int32_t s = 0; s < strip_count && status == 0; ++s) {
            int64_t sum = 0;
            for (int32_t k = 0; k < samples_per_pixel; ++k) {
                const uint64_t size = plane_length[k] * strip_rows;
                uint32_t n = 0;
                // A plane whose strip is missing or out of the table stays zero.
                const int64_t index = int64_t{s} + int64_t{k} * strips_per_plane;
                if (strip_offsets != nullptr && index >= 0 && index < offset_count) {
                    g_host.IO_seek(stream, static_cast<uint32_t>(strip_offsets[index] + base_offset), 0);
                    sum += decode(stream, planes[k], size, t, fill_order, &n);
                }
                if (n < size) std::memset(planes[k] + n, 0, size - n);
            }
            for (int32_t k = 0; k < samples_per_pixel; ++k) {
                for (uint64_t i = 0; i < strip_rows; ++i) {
                    TIF_predictor_undo(planes[k] + i * plane_length[k], lengths[k], bits_per_sample[k], 1, predictor,
                                       byte_order);
                }
            }
            uint8_t* rows[kMaxPlanes] = {};
            for (uint64_t i = 0; i < strip_rows && r < height; ++i) {
                for (int32_t k = 0; k < samples_per_pixel; ++k) rows[k] = planes[k] + i * plane_length[k];
                // A row the host cannot place would fail the same way on every
                // row: it is not delivered, and the work ends with one record.
                const HostStatus placed = TIF_planar_row_assemble(rows, lengths, photometric, bits_per_sample,
                                                                  samples_per_pixel, row_buffer, byte_order);
                if (placed != 0) {
                    sum += placed;
                    break;
                }
                sum += g_host.IO_raster_set(stream, row_buffer, r, host_row);
                ++r;
            }
            status = sum != 0 ? static_cast<HostStatus>(sum) : 0;
        }
    }
    // Any other planar configuration decodes and delivers nothing.
    return error_status();
}

}  // namespace kv
