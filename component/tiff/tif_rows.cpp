// Row reconstruction for TIFF strips. The pixel rearrangement itself is the
// host's (iKV_IP_ raster services); this file decides what to hand them.
#include "tiff/tif_rows.h"

#include "frame/service_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <tmmintrin.h>
#endif

namespace kv {

namespace {

// Host tag indices of the two YCbCr tags.
constexpr uint32_t kTagYCbCrCoefficients = 71;

constexpr int16_t kWhiteIsZero = 0;
constexpr int16_t kRgb = 2;
constexpr int16_t kSeparated = 5;
constexpr int16_t kCieLab = 8;

inline uint16_t load16(const uint8_t* p, bool big_endian) {
    return big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

inline void store16(uint8_t* p, uint16_t value, bool big_endian) {
    if (big_endian) {
        p[0] = static_cast<uint8_t>(value >> 8);
        p[1] = static_cast<uint8_t>(value);
    } else {
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
    }
}

// Truncates toward zero and clamps to a byte; NaN gives 0.
inline uint8_t clamp_byte(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    return static_cast<uint8_t>(static_cast<int>(value));
}

struct Coefficients {
    float kr = 0.299f;
    float kg = 0.587f;
    float kb = 0.114f;
};

// The host's coefficients, or the defaults when it has none or gives
// rationals that would divide by zero (a zero denominator or a zero Kg).
Coefficients read_coefficients(HostTiff* tif) {
    Coefficients c;
    uint32_t raw[6] = {};
    if (g_host._TIF_tag_val_return(tif, kTagYCbCrCoefficients, 0, raw, sizeof raw, 0) == 0) return c;
    if (raw[1] == 0 || raw[3] == 0 || raw[5] == 0 || raw[2] == 0) return c;
    Coefficients read;
    read.kr = static_cast<float>(raw[0]) / static_cast<float>(raw[1]);
    read.kg = static_cast<float>(raw[2]) / static_cast<float>(raw[3]);
    read.kb = static_cast<float>(raw[4]) / static_cast<float>(raw[5]);
    if (!std::isfinite(read.kr) || !std::isfinite(read.kg) || !std::isfinite(read.kb) || read.kg == 0.0f) return c;
    return read;
}

#if defined(__SSE2__)
template <uint32_t kBytes>
inline __m128i add_samples(__m128i a, __m128i b) {
    return kBytes == 1 ? _mm_add_epi8(a, b) : _mm_add_epi16(a, b);
}

// Sums within one 16-byte block: each element plus those kStride, 2 kStride,
// ... elements before it (kBytes bytes an element), by shifted adds.
template <uint32_t kBytes, uint32_t kStride>
inline __m128i sums_in_block(__m128i v) {
    constexpr uint32_t step = kBytes * kStride;
    constexpr auto add = add_samples<kBytes>;
    v = add(v, _mm_slli_si128(v, step));
    if constexpr (2 * step < 16) v = add(v, _mm_slli_si128(v, 2 * step));
    if constexpr (4 * step < 16) v = add(v, _mm_slli_si128(v, 4 * step));
    if constexpr (8 * step < 16) v = add(v, _mm_slli_si128(v, 8 * step));
    return v;
}

// The block's last pixel repeated over the whole block (pixels of kPixel
// bytes tile it).
template <uint32_t kPixel>
inline __m128i last_pixel_repeated(__m128i v) {
    v = _mm_srli_si128(v, 16 - kPixel);
    v = _mm_or_si128(v, _mm_slli_si128(v, kPixel));
    if constexpr (2 * kPixel < 16) v = _mm_or_si128(v, _mm_slli_si128(v, 2 * kPixel));
    if constexpr (4 * kPixel < 16) v = _mm_or_si128(v, _mm_slli_si128(v, 4 * kPixel));
    if constexpr (8 * kPixel < 16) v = _mm_or_si128(v, _mm_slli_si128(v, 8 * kPixel));
    return v;
}

inline __m128i swap_word_bytes(__m128i v) { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }

// Undoes differencing over the whole 16-byte blocks of the first `end`
// bytes of a row of kBytes-byte samples (words most significant byte first
// when kBigEndian), kStride samples a pixel. Each block's own running sums
// do not depend on the block before; only the carry (the last pixel so
// far, repeated) does. Where pixels tile the block (1, 2, 4, 8 bytes), the
// carry keeps its phase and grows by the block's own last pixel: one add
// is all that the next block waits on. Returns the bytes done.
template <uint32_t kBytes, uint32_t kStride, bool kBigEndian>
uint32_t running_sums_in_blocks(uint8_t* row, uint32_t end) {
    constexpr uint32_t pixel = kBytes * kStride;
    static_assert(16 % pixel == 0);
    constexpr auto add = add_samples<kBytes>;
    __m128i carry = _mm_setzero_si128();
    uint32_t i = 0;
    for (; i + 16 <= end; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        if constexpr (kBigEndian) v = swap_word_bytes(v);
        const __m128i own = sums_in_block<kBytes, kStride>(v);
        __m128i sums = add(own, carry);
        carry = add(carry, last_pixel_repeated<pixel>(own));
        if constexpr (kBigEndian) sums = swap_word_bytes(sums);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), sums);
    }
    return i;
}

// Three samples a pixel: the carry's phase turns from block to block, so
// it is the finished block's last pixel rearranged by one shuffle.
template <uint32_t kBytes, bool kBigEndian>
__attribute__((target("ssse3"))) uint32_t running_sums_of_triples(uint8_t* row, uint32_t end) {
    constexpr uint32_t pixel = kBytes * 3;
    alignas(16) static constexpr struct Pattern {
        int8_t index[16];
        constexpr Pattern() : index() {
            for (uint32_t j = 0; j < 16; ++j) index[j] = static_cast<int8_t>(16 - pixel + j % pixel);
        }
    } pattern;
    const __m128i last_pixel = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern.index));
    constexpr auto add = add_samples<kBytes>;
    __m128i carry = _mm_setzero_si128();
    uint32_t i = 0;
    for (; i + 16 <= end; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        if constexpr (kBigEndian) v = swap_word_bytes(v);
        __m128i sums = add(sums_in_block<kBytes, 3>(v), carry);
        carry = _mm_shuffle_epi8(sums, last_pixel);
        if constexpr (kBigEndian) sums = swap_word_bytes(sums);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), sums);
    }
    return i;
}
#endif

// The common pixel sizes in blocks; 0 bytes done for the others (and for
// RGB on a processor without byte shuffles).
template <uint32_t kBytes, bool kBigEndian = false>
uint32_t running_sums_in_blocks(uint8_t* row, uint32_t end, uint32_t stride) {
#if defined(__SSE2__)
    static const bool shuffles = __builtin_cpu_supports("ssse3");
    switch (stride) {
        case 1: return running_sums_in_blocks<kBytes, 1, kBigEndian>(row, end);
        case 2: return running_sums_in_blocks<kBytes, 2, kBigEndian>(row, end);
        case 3: return shuffles ? running_sums_of_triples<kBytes, kBigEndian>(row, end) : 0;
        case 4: return running_sums_in_blocks<kBytes, 4, kBigEndian>(row, end);
        default: return 0;
    }
#else
    (void)row;
    (void)end;
    (void)stride;
    return 0;
#endif
}

}  // namespace

void TIF_predictor_undo(uint8_t* row, uint32_t length, int32_t bits, uint32_t stride, int32_t predictor,
                        int32_t byte_order) {
    if (predictor != 2 || row == nullptr || stride == 0 || length < 2 * uint64_t{stride}) return;
    if (bits == 4) {
        record_error(module::kTiff, __LINE__, err::kPredictorDepth);
        return;
    }
    if (bits == 8) {
        // Only whole pixels are undone; a trailing partial pixel stays as it is.
        const uint32_t end = length - length % stride;
        // Whole 16-byte blocks at once, what is left byte by byte (the
        // first pixel is its own sum).
        const uint32_t done = std::max(stride, running_sums_in_blocks<1>(row, end, stride));
        for (uint32_t i = done; i < end; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
        return;
    }
    if (bits == 16) {
        if (byte_order != 0 && byte_order != 1) return;
        const bool big = byte_order == 1;
        const uint32_t words = length / 2;
        const uint32_t end = words - words % stride;
        const uint32_t blocks_done =
            big ? running_sums_in_blocks<2, true>(row, 2 * end, stride) : running_sums_in_blocks<2>(row, 2 * end, stride);
        for (uint32_t i = std::max(stride, blocks_done / 2); i < end; ++i) {
            const uint16_t sum = static_cast<uint16_t>(load16(row + 2 * i, big) + load16(row + 2 * (i - stride), big));
            store16(row + 2 * i, sum, big);
        }
    }
}

void TIF_YCbCr_rows_convert(HostTiff* tif_handle, const uint8_t* blocks_row, uint8_t* const* out_rows,
                            uint32_t blocks, uint32_t h, uint32_t v) {
    if (blocks_row == nullptr || out_rows == nullptr || h == 0 || v == 0) return;
    const Coefficients c = read_coefficients(tif_handle);
    const float cb_factor = 2.0f - 2.0f * c.kb;
    const float cr_factor = 2.0f - 2.0f * c.kr;
    const uint32_t block_size = h * v + 2;
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint8_t* block = blocks_row + size_t{b} * block_size;
        const int cb = block[h * v] - 128;
        const int cr = block[h * v + 1] - 128;
        // Once per block, reused for its h x v luma samples.
        const float blue_offset = cb_factor * static_cast<float>(cb);
        const float red_offset = cr_factor * static_cast<float>(cr);
        for (uint32_t j = 0; j < v; ++j) {
            uint8_t* out = out_rows[j] + size_t{b} * h * 3;
            for (uint32_t i = 0; i < h; ++i) {
                const float y = static_cast<float>(block[j * h + i]);
                const uint8_t blue = clamp_byte(y + blue_offset);
                const uint8_t red = clamp_byte(y + red_offset);
                const float green = (y - c.kb * static_cast<float>(blue) - c.kr * static_cast<float>(red)) / c.kg;
                out[3 * i] = red;
                out[3 * i + 1] = clamp_byte(green);
                out[3 * i + 2] = blue;
            }
        }
    }
}

const uint8_t* TIF_chunky_row_convert(uint8_t* row, uint32_t row_length, uint64_t width, int16_t photometric,
                                      uint32_t total_bits, const int64_t* depths, int32_t samples_per_pixel,
                                      uint32_t extra_samples, uint8_t* row_buffer, uint32_t row_buffer_size,
                                      int32_t byte_order) {
    if (row == nullptr || row_buffer == nullptr || samples_per_pixel <= 0) return nullptr;
    const uint32_t spp = static_cast<uint32_t>(samples_per_pixel);
    const int64_t first_depth = depths != nullptr ? depths[0] : 0;

    if (byte_order != 0 && (first_depth == 16 || first_depth == 32)) {
        // Never more samples than the row holds.
        const uint64_t fit = uint64_t{row_length} * 8 / static_cast<uint64_t>(first_depth);
        const uint64_t samples = width * spp < fit ? width * spp : fit;
        g_host.iKV_IP_raster_byte_order_change(static_cast<uint32_t>(first_depth), samples, byte_order, row);
    }

    if (photometric == kWhiteIsZero) {
        if (extra_samples != 0) {
            // Only the grey sample of each pixel, all its bytes; alpha keeps
            // its meaning.
            const uint64_t sample_bytes = first_depth == 16 || first_depth == 32 ? uint64_t(first_depth) / 8 : 1;
            const uint64_t pixel_bytes = sample_bytes * spp;
            for (uint64_t i = 0; i + pixel_bytes <= row_length; i += pixel_bytes) {
                for (uint64_t b = 0; b < sample_bytes; ++b) row[i + b] = static_cast<uint8_t>(~row[i + b]);
            }
        } else {
            for (uint32_t i = 0; i < row_length; ++i) row[i] = static_cast<uint8_t>(~row[i]);
        }
    } else if (photometric == kRgb && total_bits == 16 && depths != nullptr) {
        // Packed 16-bit pixels, channel 0 in the most significant bits.
        const int64_t max_depth = g_host.GPb_math_max_get_int(spp, depths);
        const uint32_t bits_per_channel = g_host.DIB_bits_per_channel_calc(static_cast<uint32_t>(max_depth));
        const uint32_t mask_tag = new_memory_tag(module::kTiff, __LINE__);
        const uint64_t mask_bytes = uint64_t{spp} * sizeof(uint64_t);
        auto* masks = static_cast<uint64_t*>(host_alloc(mask_tag, mask_bytes, module::kTiff, __LINE__));
        if (masks == nullptr) {
            record_error(module::kTiff, __LINE__, err::kNoMemory);
            return nullptr;
        }
        uint32_t shift = 0;
        for (uint32_t k = spp; k-- > 0;) {
            const int64_t d = depths[k];
            masks[k] = (d > 0 && d < 64 && shift < 64) ? ((uint64_t{1} << d) - 1) << shift : 0;
            if (d > 0 && d < 64) shift += static_cast<uint32_t>(d);
        }
        g_host.iKV_IP_raster_byte_order_change(16, width, byte_order, row);
        g_host.iKV_IP_raster_unpack_masked(16, spp, masks, bits_per_channel, width, row, row_buffer, row_length);
        host_free(mask_tag, masks, module::kTiff, __LINE__);
        return row_buffer;
    }

    if (first_depth == 4 || first_depth == 12 || (total_bits == 4 && photometric == kSeparated)) {
        g_host.iKV_IP_raster_unpack(spp, static_cast<uint32_t>(first_depth), width, row, row_buffer, row_length);
    } else if (photometric != kCieLab && row_length >= row_buffer_size) {
        // The row is the host row already: a copy would only cost time.
        return row;
    } else {
        // The host row may be shorter than the TIFF row (an odd description):
        // copy what fits, and never leave the tail of a longer one stale.
        const uint32_t n = row_length < row_buffer_size ? row_length : row_buffer_size;
        std::memcpy(row_buffer, row, n);
        if (n < row_buffer_size) std::memset(row_buffer + n, 0, row_buffer_size - n);
    }

    if (photometric == kCieLab && depths != nullptr) {
        g_host.iKV_IP_raster_LAB_signed_to_unsigned(spp, depths, width, row_buffer);
    }
    return row_buffer;
}

HostStatus TIF_planar_row_assemble(uint8_t* const* plane_rows, const uint32_t* plane_lengths, int32_t photometric,
                                   const int16_t* bits_per_sample, int32_t samples_per_pixel, uint8_t* row_buffer,
                                   int32_t byte_order) {
    if (plane_rows == nullptr || plane_lengths == nullptr || bits_per_sample == nullptr || row_buffer == nullptr ||
        samples_per_pixel <= 0) {
        return 0;
    }
    const int32_t d = bits_per_sample[0];
    if (d <= 0) return 0;
    const uint32_t length = plane_lengths[0];
    const uint32_t samples = d == 8 ? length : static_cast<uint32_t>(uint64_t{length} * 8 / static_cast<uint32_t>(d));
    for (int32_t k = 0; k < samples_per_pixel; ++k) {
        uint8_t* plane_row = plane_rows[k];
        if (byte_order != 0 && (d == 16 || d == 32)) {
            g_host.iKV_IP_raster_byte_order_change(static_cast<uint32_t>(d), samples, byte_order, plane_row);
        }
        if (photometric == kWhiteIsZero) {
            for (uint32_t i = 0; i < length; ++i) plane_row[i] = static_cast<uint8_t>(~plane_row[i]);
        }
        const HostStatus placed =
            g_host.iKV_IP_planar_raster_unpack(static_cast<uint32_t>(samples_per_pixel), static_cast<uint32_t>(k),
                                               static_cast<uint32_t>(d), samples, plane_row, row_buffer, length);
        if (placed != 0) return placed;
    }
    return 0;
}

}  // namespace kv
