// Damage that a TIFF's strips show without decoding them into rows: their
// extents against the file, and a walk over their LZW codes that counts the
// bytes they would give (string lengths only, no strings).
#include "kvhost/tiff.h"

#include "kvhost/stream.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kvhost {
namespace {

// Bytes the strip must decode to: its rows (the last strip may hold fewer)
// of the strip's row layout.
uint64_t expected_strip_bytes(const TiffImage& t, uint32_t strip) {
    const uint32_t per_plane = t.strips_per_plane > 0 ? static_cast<uint32_t>(t.strips_per_plane) : 1;
    const uint64_t rps = t.rows_per_strip > 0 ? static_cast<uint64_t>(t.rows_per_strip) : t.height;
    const uint64_t first = uint64_t{strip % per_plane} * rps;
    if (first >= t.height) return 0;
    const uint64_t rows = std::min<uint64_t>(rps, t.height - first);
    uint64_t bits = 0;
    for (int16_t b : t.bits_per_sample) bits += static_cast<uint64_t>(b > 0 ? b : 0);
    if (t.planar_config == 2) return rows * ((static_cast<uint64_t>(t.bits_per_sample[0]) * t.width + 7) / 8);
    if (t.photometric == 6) {
        const uint64_t h = std::max<uint16_t>(t.subsampling[0], 1), v = std::max<uint16_t>(t.subsampling[1], 1);
        return (rows + v - 1) / v * (h * v + 2) * ((t.width + h - 1) / h);
    }
    return rows * ((bits * t.width + 7) / 8);
}

uint8_t reversed(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// A strip's bytes, read through the stream a block at a time into one
// buffer that serves every strip: checking costs neither a copy of the
// strip nor memory in proportion to it.
class StripBits {
public:
    StripBits() : buffer_(kBlock + kPad, 0) {}

    // Starts on the strip of `count` bytes at `offset`, bytes as stored.
    void start(StreamBackend& backend, uint64_t offset, uint64_t count) {
        backend_ = &backend;
        offset_ = offset;
        left_ = count;
        reverse_ = false;
        fill_ = 0;
        bit_ = 0;
        refill();
    }
    uint32_t stored_byte(uint32_t i) const { return i < fill_ ? buffer_[i] : 0; }
    // From here on every byte counts with its bits reversed.
    void reverse_bits() {
        for (uint32_t i = 0; i < fill_; ++i) buffer_[i] = reversed(buffer_[i]);
        reverse_ = true;
    }
    // Codes of `width` bits that the buffer holds now, without reading on.
    uint64_t codes_held(uint32_t width) const { return (uint64_t{fill_} * 8 - bit_) / width; }
    // Whether `width` more bits are there, reading on when they are not yet.
    bool has(uint32_t width) {
        if (bit_ + width <= uint64_t{fill_} * 8) return true;
        refill();
        return bit_ + width <= uint64_t{fill_} * 8;
    }
    // Where the next code starts, for walking codes held without reading on.
    struct Cursor {
        const uint8_t* data;
        uint64_t bit;

        // The next code of `width` bits, packed most or least significant bit first.
        template <bool kLsbFirst>
        uint32_t take(uint32_t width) {
            uint64_t word;
            std::memcpy(&word, data + (bit >> 3), 8);
            uint32_t code;
            if constexpr (kLsbFirst) {
                code = static_cast<uint32_t>((word >> (bit & 7)) & ((1u << width) - 1));
            } else {
                code = static_cast<uint32_t>((__builtin_bswap64(word) << (bit & 7)) >> (64 - width));
            }
            bit += width;
            return code;
        }
    };
    Cursor cursor() const { return {buffer_.data(), bit_}; }
    void resume(const Cursor& c) { bit_ = c.bit; }
    template <bool kLsbFirst>
    uint32_t take(uint32_t width) {
        Cursor c = cursor();
        const uint32_t code = c.take<kLsbFirst>(width);
        resume(c);
        return code;
    }

private:
    static constexpr uint32_t kBlock = 1u << 16;
    // Zero bytes behind those read, for an 8-byte load at the last one.
    static constexpr uint32_t kPad = 8;

    void refill() {
        const auto taken = static_cast<uint32_t>(bit_ >> 3);
        std::memmove(buffer_.data(), buffer_.data() + taken, fill_ - taken);
        fill_ -= taken;
        bit_ &= 7;
        const uint64_t want = std::min<uint64_t>(left_, kBlock - fill_);
        uint64_t got = 0;
        if (want != 0) got = std::min(want, backend_->read(static_cast<int64_t>(offset_), buffer_.data() + fill_, want));
        if (reverse_) {
            for (uint64_t i = fill_; i < fill_ + got; ++i) buffer_[i] = reversed(buffer_[i]);
        }
        offset_ += got;
        left_ = got < want ? 0 : left_ - got;
        fill_ += static_cast<uint32_t>(got);
        std::memset(buffer_.data() + fill_, 0, kPad);
    }

    std::vector<uint8_t> buffer_;
    StreamBackend* backend_ = nullptr;
    uint64_t offset_ = 0;
    uint64_t left_ = 0;
    bool reverse_ = false;
    uint32_t fill_ = 0;
    uint64_t bit_ = 0;
};

// String lengths of the codes defined so far, and the bytes they gave.
struct CodeTally {
    uint16_t length[4096];
    uint32_t next = 258;
    uint32_t prev = 0;
    uint64_t produced = 0;
};

// The common case in bulk: up to `count` codes of width kWidth that the
// buffer holds, each defining the next entry, while fewer than `expected`
// bytes are produced. Stops before a clear, end or out-of-range code.
template <bool kOldStyle, uint32_t kWidth>
void walk_plain_codes(StripBits& bits, CodeTally& t, uint64_t count, uint64_t expected) {
    StripBits::Cursor local = bits.cursor();
    uint32_t next = t.next, prev = t.prev;
    uint64_t produced = t.produced;
    for (; count > 0 && produced < expected; --count) {
        const uint32_t code = local.take<kOldStyle>(kWidth);
        if (code > next || code - 256 < 2) {
            local.bit -= kWidth;
            break;
        }
        const uint32_t made = t.length[prev] + 1u;
        // (The entry being defined reads as the string it will stand for.)
        t.length[next] = static_cast<uint16_t>(made);
        produced += t.length[code];
        t.length[next] = static_cast<uint16_t>(std::min<uint32_t>(made, 4096));
        ++next;
        prev = code;
    }
    bits.resume(local);
    t.next = next;
    t.prev = prev;
    t.produced = produced;
}

// Walks the codes as the decoder reads them (the width growing at the same
// points) until `expected` bytes are reached. Empty when the data gives
// them; otherwise what went wrong.
template <bool kOldStyle>
std::string walk_codes(StripBits& bits, uint64_t expected) {
    constexpr uint32_t early = kOldStyle ? 0 : 1;
    constexpr uint32_t kNone = 0xFFFF;
    CodeTally t;
    uint16_t* const length = t.length;
    std::fill(length, length + 256, uint16_t{1});
    uint32_t width = 9, threshold = 512 - early;
    uint32_t& next = t.next;
    uint32_t& prev = t.prev;
    uint64_t& produced = t.produced;
    prev = kNone;
    auto tally = [&](const char* what) {
        return what + std::to_string(produced) + " of " + std::to_string(expected) + " bytes";
    };
    while (produced < expected) {
        const uint32_t stop = std::min<uint32_t>(threshold, 4095);
        if (prev != kNone && next < stop) {
            // Short of the width switch, none of which happens in the bulk walk.
            const uint64_t count = std::min<uint64_t>(bits.codes_held(width), stop - next);
            switch (width) {
                case 9: walk_plain_codes<kOldStyle, 9>(bits, t, count, expected); break;
                case 10: walk_plain_codes<kOldStyle, 10>(bits, t, count, expected); break;
                case 11: walk_plain_codes<kOldStyle, 11>(bits, t, count, expected); break;
                default: walk_plain_codes<kOldStyle, 12>(bits, t, count, expected); break;
            }
            if (next == threshold && next != 4095) threshold = (1u << ++width) - early;
            if (produced >= expected) break;
        }
        if (!bits.has(width)) return tally("LZW data ends without an end code after ");
        const uint32_t code = bits.take<kOldStyle>(width);
        if (code == 257) return tally("LZW end code after ");
        if (code == 256) {
            width = 9, next = 258, threshold = 512 - early, prev = kNone;
            continue;
        }
        if (prev == kNone) {
            if (code > 255) return "LZW code " + std::to_string(code) + " where a byte code is due, after " + tally("");
            produced += 1;
            prev = code;
            continue;
        }
        if (code > next) {
            return "LZW code " + std::to_string(code) + " above the next code " + std::to_string(next) + ", after " +
                   tally("");
        }
        const uint32_t made = length[prev] + 1u;
        produced += code == next ? made : length[code];
        length[next] = static_cast<uint16_t>(std::min<uint32_t>(made, 4096));
        if (next < 4095 && ++next == threshold && next != 4095) threshold = (1u << ++width) - early;
        prev = code;
    }
    return {};
}

// The strip's codes, new-style or old-style as the decoder tells them apart.
std::string check_codes(StripBits& bits, uint16_t fill_order, uint64_t expected) {
    const uint32_t b0 = bits.stored_byte(0), b1 = bits.stored_byte(1);
    if (((b1 << 8 | b0) & 0x1FF) == 256) return walk_codes<true>(bits, expected);
    if (fill_order == 2) bits.reverse_bits();
    return walk_codes<false>(bits, expected);
}

}  // namespace

std::vector<StripDamage> tiff_strip_damage(HostStream* stream, const TiffImage& t) {
    std::vector<StripDamage> damage;
    if (stream == nullptr || stream->backend == nullptr || t.bits_per_sample.empty()) return damage;
    const uint64_t file_size = static_cast<uint64_t>(std::max<int64_t>(stream->backend->size(), 0));
    StripBits bits;
    for (uint32_t s = 0; s < t.strip_offsets.size(); ++s) {
        const uint64_t expected = expected_strip_bytes(t, s);
        if (expected == 0) continue;
        const uint64_t offset = t.strip_offsets[s];
        const uint64_t count = s < t.strip_byte_counts.size() ? t.strip_byte_counts[s] : 0;
        if (offset >= file_size) {
            damage.push_back({s, "starts at byte " + std::to_string(offset) + ", past the end of the file (" +
                                     std::to_string(file_size) + " bytes)"});
            continue;
        }
        if (count != 0 && offset + count > file_size) {
            damage.push_back({s, "cut short: " + std::to_string(file_size - offset) + " of its " +
                                     std::to_string(count) + " bytes are in the file"});
            continue;
        }
        // A missing byte count reads to the end of the file, as the service does.
        bits.start(*stream->backend, offset, count != 0 ? count : file_size - offset);
        std::string problem = check_codes(bits, t.fill_order, expected);
        if (!problem.empty()) damage.push_back({s, std::move(problem)});
    }
    return damage;
}

}  // namespace kvhost
