// Raster conversions the TIFF strip service asks for, on the host row layout
// of kvlzw/abi.h: byte order, masked unpacking of packed pixels, CIELab
// sign shift, and the interleaving of separate planes.
#include "kvhost/errors.h"
#include "service_impl.h"

#include <cstring>

namespace {

constexpr const char* kModule = KVHOST_MODULE("raster_convert");

// The host keeps wide samples least significant byte first.
constexpr int32_t kHostByteOrder = 0;

inline uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void write16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

extern "C" HostStatus kvhost_iKV_IP_raster_byte_order_change(uint32_t bits_per_sample, uint64_t samples,
                                                             int32_t byte_order, void* data) {
    if (data == nullptr || byte_order == kHostByteOrder) return 0;
    auto* p = static_cast<uint8_t*>(data);
    if (bits_per_sample == 16) {
        for (uint64_t i = 0; i < samples; ++i, p += 2) {
            const uint8_t t = p[0];
            p[0] = p[1];
            p[1] = t;
        }
    } else if (bits_per_sample == 32) {
        for (uint64_t i = 0; i < samples; ++i, p += 4) {
            uint8_t t = p[0];
            p[0] = p[3];
            p[3] = t;
            t = p[1];
            p[1] = p[2];
            p[2] = t;
        }
    }
    return 0;
}

// Splits pixels of `bits` (16) bits, already in host order, into channels by
// the masks; each channel is scaled to the full range of bits_per_channel
// (8 or 16) so that 5 bits of red read as bright as 8 bits would.
extern "C" HostStatus kvhost_iKV_IP_raster_unpack_masked(uint32_t bits, uint32_t channels, const uint64_t* masks,
                                                         uint32_t bits_per_channel, uint64_t width,
                                                         const void* source, void* dest, uint32_t source_length) {
    if (source == nullptr || dest == nullptr || masks == nullptr || channels == 0) {
        return kvhost::record_host_error(kModule, __LINE__, kvhost::host_error::kBadArgument,
                                         "iKV_IP_raster_unpack_masked without rows or masks");
    }
    if (bits != 16 || (bits_per_channel != 8 && bits_per_channel != 16)) {
        return kvhost::record_host_error(kModule, __LINE__, kvhost::host_error::kBadArgument,
                                         "iKV_IP_raster_unpack_masked: " + std::to_string(bits) + "-bit pixels into " +
                                             std::to_string(bits_per_channel) + "-bit channels");
    }
    uint32_t shift[32] = {};
    uint32_t max[32] = {};
    const uint32_t n = channels < 32 ? channels : 32;
    for (uint32_t k = 0; k < n; ++k) {
        // Only the pixel's bits count: a mask above them selects nothing.
        uint32_t m = static_cast<uint32_t>(masks[k] & ((uint64_t{1} << bits) - 1));
        uint32_t s = 0;
        while (m != 0 && (m & 1) == 0) m >>= 1, ++s;
        shift[k] = s;
        max[k] = m;
    }
    const uint64_t pixels = width < source_length / 2 ? width : source_length / 2;
    const auto* in = static_cast<const uint8_t*>(source);
    auto* out = static_cast<uint8_t*>(dest);
    const uint32_t full = bits_per_channel == 8 ? 0xFF : 0xFFFF;
    for (uint64_t x = 0; x < pixels; ++x) {
        const uint32_t pixel = read16(in + 2 * x);
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t value = (pixel >> shift[k]) & max[k];
            const uint32_t scaled = max[k] != 0 ? (value * full + max[k] / 2) / max[k] : 0;
            if (bits_per_channel == 8) {
                *out++ = static_cast<uint8_t>(scaled);
            } else {
                write16(out, static_cast<uint16_t>(scaled));
                out += 2;
            }
        }
    }
    return 0;
}

// CIELab a* and b* are signed in TIFF; the host keeps them offset by half
// the range (128 or 32768) so that every channel is unsigned.
extern "C" HostStatus kvhost_iKV_IP_raster_LAB_signed_to_unsigned(uint32_t channels, const int64_t* depths,
                                                                  uint64_t width, void* row) {
    if (row == nullptr || depths == nullptr || channels < 3) return 0;
    auto* p = static_cast<uint8_t*>(row);
    const int64_t depth = depths[0];
    if (depth == 8) {
        for (uint64_t x = 0; x < width; ++x, p += channels) {
            p[1] ^= 0x80;
            p[2] ^= 0x80;
        }
    } else if (depth == 16) {
        for (uint64_t x = 0; x < width; ++x, p += 2 * uint64_t{channels}) {
            p[3] ^= 0x80;  // high byte of a*, host order
            p[5] ^= 0x80;  // high byte of b*
        }
    }
    return 0;
}

// Places one plane's samples into their slots of the interleaved row: for
// depths up to 8 one byte per sample (packed depths unpacked, most
// significant bits first), 16 and 32 bits as words already in host order.
extern "C" HostStatus kvhost_iKV_IP_planar_raster_unpack(uint32_t planes, uint32_t plane, uint32_t depth,
                                                         uint32_t samples, const void* plane_row, void* dest,
                                                         uint32_t plane_row_length) {
    if (plane_row == nullptr || dest == nullptr || planes == 0 || plane >= planes || depth == 0) {
        return kvhost::record_host_error(kModule, __LINE__, kvhost::host_error::kBadArgument,
                                         "iKV_IP_planar_raster_unpack without rows, or plane out of range");
    }
    const auto* in = static_cast<const uint8_t*>(plane_row);
    auto* out = static_cast<uint8_t*>(dest);
    // Never read past the plane row, whatever the sample count says.
    const uint64_t fit = uint64_t{plane_row_length} * 8 / depth;
    const uint64_t n = samples < fit ? samples : fit;
    if (depth == 8) {
        for (uint64_t i = 0; i < n; ++i) out[i * planes + plane] = in[i];
    } else if (depth == 16 || depth == 32) {
        const uint32_t bytes = depth / 8;
        for (uint64_t i = 0; i < n; ++i) std::memcpy(out + (i * planes + plane) * bytes, in + i * bytes, bytes);
    } else if (depth == 1 || depth == 2 || depth == 4) {
        const uint32_t mask = (1u << depth) - 1;
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t bit = i * depth;
            out[i * planes + plane] = static_cast<uint8_t>((in[bit / 8] >> (8 - depth - bit % 8)) & mask);
        }
    } else if (depth > 8 && depth < 16) {
        // Packed most significant bit first; each sample becomes a word in
        // the host's byte order. A sample spans at most three bytes.
        const uint32_t mask = (1u << depth) - 1;
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t bit = i * depth, byte = bit / 8;
            uint32_t window = uint32_t{in[byte]} << 16;
            if (byte + 1 < plane_row_length) window |= uint32_t{in[byte + 1]} << 8;
            if (byte + 2 < plane_row_length) window |= in[byte + 2];
            const auto word = static_cast<uint16_t>((window >> (24 - depth - bit % 8)) & mask);
            std::memcpy(out + (i * planes + plane) * 2, &word, 2);
        }
    } else {
        return kvhost::record_host_error(kModule, __LINE__, kvhost::host_error::kBadArgument,
                                         "iKV_IP_planar_raster_unpack: " + std::to_string(depth) +
                                             "-bit planes are not placed");
    }
    return 0;
}
