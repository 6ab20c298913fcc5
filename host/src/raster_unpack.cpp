// iKV_IP_raster_unpack: samples packed most significant bit first, 1 to 16
// bits each, spread into the host row layout: one byte per sample up to 8
// bits, one 16-bit word in the host's byte order from 9 to 16 bits.
#include "kvhost/errors.h"
#include "service_impl.h"

#include <cstring>
#include <string>

namespace {

constexpr const char* kModule = KVHOST_MODULE("raster_unpack");

// Reads samples from a packed row; bits past the row's end read as zero,
// so a short source never leads outside it.
class BitReader {
public:
    BitReader(const uint8_t* data, uint64_t length) : data_(data), length_(length) {}

    uint32_t take(uint32_t bits) {
        while (held_ < bits) {
            acc_ = (acc_ << 8) | (pos_ < length_ ? data_[pos_] : 0u);
            ++pos_;
            held_ += 8;
        }
        held_ -= bits;
        return static_cast<uint32_t>(acc_ >> held_) & ((1u << bits) - 1);
    }

private:
    const uint8_t* data_;
    uint64_t length_;
    uint64_t pos_ = 0;
    uint64_t acc_ = 0;
    uint32_t held_ = 0;
};

}  // namespace

extern "C" HostStatus kvhost_iKV_IP_raster_unpack(uint32_t channels, uint32_t depth, uint64_t width,
                                                  const void* source, void* dest, uint32_t source_length) {
    if (source == nullptr || dest == nullptr || channels == 0 || depth == 0 || depth > 16) {
        return kvhost::record_host_error(kModule, __LINE__, kvhost::host_error::kBadArgument,
                                         "raster unpack of " + std::to_string(depth) + "-bit samples");
    }
    const uint64_t samples = width * channels;
    BitReader in(static_cast<const uint8_t*>(source), source_length);
    if (depth <= 8) {
        auto* out = static_cast<uint8_t*>(dest);
        if (depth == 8) {
            const uint64_t have = samples < source_length ? samples : source_length;
            std::memcpy(out, source, have);
            std::memset(out + have, 0, samples - have);
            return 0;
        }
        for (uint64_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(in.take(depth));
    } else {
        auto* out = static_cast<uint8_t*>(dest);
        for (uint64_t i = 0; i < samples; ++i) {
            const auto word = static_cast<uint16_t>(in.take(depth));
            std::memcpy(out + 2 * i, &word, sizeof word);  // host byte order
        }
    }
    return 0;
}
