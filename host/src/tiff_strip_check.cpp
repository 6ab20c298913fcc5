// Damage that a TIFF's strips show without decoding them into rows: their
// extents against the file, and a walk over their LZW codes that counts the
// bytes they would give (string lengths only, no strings).
#include "kvhost/tiff.h"

#include "kvhost/stream.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#if defined(__x86_64__)
#include <immintrin.h>
#endif
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
        dropped_ = 0;
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
    // Bits taken since the strip's first byte.
    uint64_t bits_taken() const { return dropped_ * 8 + bit_; }
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
    // Zero bytes behind those read, for a 16-byte load at the last one.
    static constexpr uint32_t kPad = 16;

    void refill() {
        const auto taken = static_cast<uint32_t>(bit_ >> 3);
        std::memmove(buffer_.data(), buffer_.data() + taken, fill_ - taken);
        fill_ -= taken;
        dropped_ += taken;
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
    uint64_t dropped_ = 0;
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

// The quick look: a strip's codes checked for what can be told without
// their string lengths (every code at most the entry it defines, a byte
// code after each clear, an end code within the strip's bytes), up to where
// its end code starts. That, and where the strip service's decoder stopped
// reading the strip, tells a whole strip without the walk: a decoder that
// stopped before the end code had filled its strip buffer, and so the
// codes before it give all the strip's bytes.

// Codes 256 and 257 both shift right to 128.
constexpr uint32_t kClearOrEndHalf = 128;

// Of `count` codes of kWidth bits from bit `bit` of `data` (most
// significant bit first), the number before the first that is a clear or
// end code or above the entry it defines (entries `next`, `next` + 1, ...).
template <uint32_t kWidth>
uint64_t plain_codes_scalar(const uint8_t* data, uint64_t bit, uint64_t count, uint32_t next) {
    StripBits::Cursor at{data, bit};
    for (uint64_t i = 0; i < count; ++i) {
        const uint32_t code = at.take<false>(kWidth);
        if (code > next + i || code >> 1 == kClearOrEndHalf) return i;
    }
    return count;
}

#if defined(__x86_64__)
// Eight codes of one width span at most 13 bytes whatever the bit they
// start at, so one 16-byte load holds them all. For each width and each
// start bit within a byte: which 3 bytes each code's 32-bit lane gathers
// (most significant first, low byte zero), and how far to shift it down.
struct CodeLanes {
    alignas(32) int8_t gather[4][8][32] = {};
    alignas(32) uint32_t shift[4][8][8] = {};
    constexpr CodeLanes() {
        for (uint32_t w = 9; w <= 12; ++w) {
            for (uint32_t phase = 0; phase < 8; ++phase) {
                for (uint32_t i = 0; i < 8; ++i) {
                    const uint32_t start = phase + i * w;
                    int8_t* lane = gather[w - 9][phase] + 4 * i;
                    lane[0] = -128;  // a zero byte
                    lane[1] = static_cast<int8_t>((start >> 3) + 2);
                    lane[2] = static_cast<int8_t>((start >> 3) + 1);
                    lane[3] = static_cast<int8_t>(start >> 3);
                    shift[w - 9][phase][i] = 32 - (start & 7) - w;
                }
            }
        }
    }
};
constexpr CodeLanes kCodeLanes;

// plain_codes_scalar, eight codes at a time and the rest one by one. The
// data holds 16 readable bytes from each code's first byte.
template <uint32_t kWidth>
__attribute__((target("avx2"))) uint64_t plain_codes_avx2(const uint8_t* data, uint64_t bit, uint64_t count,
                                                          uint32_t next) {
    const __m256i width_mask = _mm256_set1_epi32((1 << kWidth) - 1);
    const __m256i half = _mm256_set1_epi32(kClearOrEndHalf);
    const __m256i eight = _mm256_set1_epi32(8);
    __m256i defines = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(next)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    uint64_t done = 0;
    for (; done + 8 <= count; done += 8, bit += 8 * kWidth) {
        const uint32_t phase = bit & 7;
        const __m256i bytes =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + (bit >> 3))));
        const __m256i lanes = _mm256_shuffle_epi8(
            bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(kCodeLanes.gather[kWidth - 9][phase])));
        const __m256i codes = _mm256_and_si256(
            _mm256_srlv_epi32(lanes, _mm256_load_si256(reinterpret_cast<const __m256i*>(kCodeLanes.shift[kWidth - 9][phase]))),
            width_mask);
        const __m256i odd = _mm256_or_si256(_mm256_cmpgt_epi32(codes, defines),
                                            _mm256_cmpeq_epi32(_mm256_srli_epi32(codes, 1), half));
        if (!_mm256_testz_si256(odd, odd)) break;
        defines = _mm256_add_epi32(defines, eight);
    }
    return done + plain_codes_scalar<kWidth>(data, bit, count - done, next + static_cast<uint32_t>(done));
}
#endif

template <uint32_t kWidth>
uint64_t plain_codes(const uint8_t* data, uint64_t bit, uint64_t count, uint32_t next) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return plain_codes_avx2<kWidth>(data, bit, count, next);
#endif
    return plain_codes_scalar<kWidth>(data, bit, count, next);
}

// Bytes from the strip's start up to the bit where its end code starts
// (a part byte counting whole), when the codes before it are plain as above; 0
// otherwise: an odd code, no end code, or old-style codes (rare enough to
// be left to the walk).
uint64_t bytes_before_end_code(StripBits& bits, uint16_t fill_order) {
    const uint32_t b0 = bits.stored_byte(0), b1 = bits.stored_byte(1);
    if (((b1 << 8 | b0) & 0x1FF) == 256) return 0;
    if (fill_order == 2) bits.reverse_bits();
    uint32_t width = 9, next = 258, threshold = 511;
    bool after_clear = true;
    for (;;) {
        const uint32_t stop = std::min<uint32_t>(threshold, 4095);
        if (!after_clear && next < stop) {
            const uint64_t count = std::min<uint64_t>(bits.codes_held(width), stop - next);
            StripBits::Cursor at = bits.cursor();
            uint64_t plain = 0;
            switch (width) {
                case 9: plain = plain_codes<9>(at.data, at.bit, count, next); break;
                case 10: plain = plain_codes<10>(at.data, at.bit, count, next); break;
                case 11: plain = plain_codes<11>(at.data, at.bit, count, next); break;
                default: plain = plain_codes<12>(at.data, at.bit, count, next); break;
            }
            at.bit += plain * width;
            bits.resume(at);
            next += static_cast<uint32_t>(plain);
            if (next == threshold && next != 4095) threshold = (1u << ++width) - 1;
        }
        // One code at a time: a width switch, a refill, or an odd code.
        if (!bits.has(width)) return 0;
        const uint64_t at = bits.bits_taken();
        const uint32_t code = bits.take<false>(width);
        if (code == 257) return (at + 7) / 8;
        if (code == 256) {
            width = 9, next = 258, threshold = 511, after_clear = true;
            continue;
        }
        if (after_clear) {
            if (code > 255) return 0;
            after_clear = false;
            continue;
        }
        if (code > next) return 0;
        if (next < 4095 && ++next == threshold && next != 4095) threshold = (1u << ++width) - 1;
    }
}

}  // namespace

StripScan tiff_strip_scan(HostStream* stream, const TiffImage& t) {
    StripScan scan;
    if (stream == nullptr || stream->backend == nullptr || t.bits_per_sample.empty()) return scan;
    scan.before_end_code.assign(t.strip_offsets.size(), 0);
    const uint64_t file_size = static_cast<uint64_t>(std::max<int64_t>(stream->backend->size(), 0));
    StripBits bits;
    for (uint32_t s = 0; s < t.strip_offsets.size(); ++s) {
        const uint64_t offset = t.strip_offsets[s];
        const uint64_t count = s < t.strip_byte_counts.size() ? t.strip_byte_counts[s] : 0;
        // Strips outside the file are the damage check's to name.
        if (expected_strip_bytes(t, s) == 0 || offset >= file_size || count == 0 || offset + count > file_size) continue;
        bits.start(*stream->backend, offset, count);
        scan.before_end_code[s] = bytes_before_end_code(bits, t.fill_order);
    }
    return scan;
}

std::vector<StripDamage> tiff_strip_damage(HostStream* stream, const TiffImage& t, const StripScan* scan,
                                           const std::vector<ReadSpan>* strip_reads) {
    std::vector<StripDamage> damage;
    if (stream == nullptr || stream->backend == nullptr || t.bits_per_sample.empty()) return damage;
    const uint64_t file_size = static_cast<uint64_t>(std::max<int64_t>(stream->backend->size(), 0));
    // How far the decoder read from each strip start (strips may share one).
    std::unordered_map<int64_t, int64_t> read_to;
    if (scan != nullptr && strip_reads != nullptr) {
        for (const ReadSpan& r : *strip_reads) {
            auto [at, fresh] = read_to.emplace(r.start, r.stop);
            if (!fresh) at->second = std::max(at->second, r.stop);
        }
    }
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
        // Sound codes up to an end code that the decoder stopped short of:
        // it stopped on a full strip buffer, which holds at least the
        // strip's rows.
        if (scan != nullptr && s < scan->before_end_code.size() && scan->before_end_code[s] != 0) {
            const auto read = read_to.find(static_cast<int64_t>(offset));
            if (read != read_to.end() && read->second > static_cast<int64_t>(offset) &&
                static_cast<uint64_t>(read->second) - offset <= scan->before_end_code[s]) {
                continue;
            }
        }
        // A missing byte count reads to the end of the file, as the service does.
        bits.start(*stream->backend, offset, count != 0 ? count : file_size - offset);
        std::string problem = check_codes(bits, t.fill_order, expected);
        if (!problem.empty()) damage.push_back({s, std::move(problem)});
    }
    return damage;
}

}  // namespace kvhost
