// TIFF LZW decoding: new-style data (codes most significant bit first, the
// width growing one code early) and the older variant (least significant
// bit first, growing at the power of two).
//
// The caller's prefix / first_byte / last_byte tables are kept exactly as a
// plain stack-walking decoder keeps them, so corrupt data (undefined codes,
// cycles through the redefined last entry, over-long strings) decodes the
// same way a byte-by-byte walk would. Well-formed strings, though, are not
// walked: every code whose string is known to sit intact in the output
// already is copied from there in one go, which is what makes this fast.
//
// Relative includes: the tests compile this file into their own binary to
// reach the routine, which the module does not export.
#include "tif_lzw_decode.h"

#include "../frame/service_table.h"

#include <cstring>

namespace kv {

namespace {

constexpr uint16_t kUndefined = 0xFFFF;
constexpr uint16_t kSingleByte = 0xFFFE;
constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstFree = 258;
constexpr uint32_t kLastCode = 4095;
constexpr uint32_t kMaxString = 4096;
constexpr uint32_t kReadBlock = 8192;

struct ReverseTable {
    uint8_t bytes[256];
    constexpr ReverseTable() : bytes() {
        for (int i = 0; i < 256; ++i) {
            int r = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b)) r |= 0x80 >> b;
            bytes[i] = static_cast<uint8_t>(r);
        }
    }
};
constexpr ReverseTable kReversed;

// Copies len bytes from src to dst, where src + len <= dst: whole words,
// the last one overlapping the one before, and never a byte past dst + len
// (bytes beyond the decoded data are the caller's and stay as they are).
inline void copy_string(uint8_t* dst, const uint8_t* src, uint32_t len) {
    auto copy8 = [](uint8_t* d, const uint8_t* s) {
        uint64_t v;
        std::memcpy(&v, s, 8);
        std::memcpy(d, &v, 8);
    };
    auto copy4 = [](uint8_t* d, const uint8_t* s) {
        uint32_t v;
        std::memcpy(&v, s, 4);
        std::memcpy(d, &v, 4);
    };
    if (len >= 8) {
        for (uint32_t i = 0; i + 8 < len; i += 8) copy8(dst + i, src + i);
        copy8(dst + len - 8, src + len - 8);
    } else if (len >= 4) {
        copy4(dst, src);
        copy4(dst + len - 4, src + len - 4);
    } else {
        dst[0] = src[0];
        if (len > 1) dst[1] = src[1];
        if (len > 2) dst[2] = src[2];
    }
}

inline uint64_t load8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Writes len (1 to 8) bytes of src_word at out + pos with one 8-byte store.
// `carry` holds the 8 bytes now at out + pos, so the bytes past len are
// stored back unchanged without reading memory that was just written (a
// partly overlapping load would stall). Returns the 8 bytes at the new
// position out + pos + len. Needs 16 bytes of room at out + pos.
inline uint64_t put_short(uint8_t* out, uint32_t pos, uint64_t src_word, uint32_t len, uint64_t carry) {
    const uint32_t bits = 8 * len;  // 8 to 64
    const uint64_t low = ~uint64_t{0} >> (64 - bits);
    const uint64_t word = (src_word & low) | (carry & ~low);
    std::memcpy(out + pos, &word, 8);
    // Shifts in two steps so that a whole word (64 bits) shifts out cleanly.
    return ((word >> (bits - 1)) >> 1) | (load8(out + pos + 8) << (64 - bits));
}

inline uint32_t load_be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The caller's tables and buffers for one call, and how far it got.
struct DecodeJob {
    HostStream* stream;
    uint8_t* out;
    uint32_t out_size;
    uint16_t* prefix;
    uint8_t* first_byte;
    uint8_t* last_byte;
    uint8_t* stack;
    uint8_t* in_buf;
    uint32_t pos = 0;     // bytes written
    uint32_t unread = 0;  // bytes of in_buf that supplied no bits
};

// in_buf holds at most this many bytes, so that four zero bytes always fit
// behind them and a code can be read with one 4-byte load.
constexpr uint32_t kFillLimit = kReadBlock - 4;

// Writes the string that starts with `extra` (when push_extra) followed by
// the walk of the tables from w, cut to its last 4096 bytes. Returns false
// when the walk meets an undefined entry (corrupt data: decoding ends and
// nothing of this string is written).
inline bool walk_string(const DecodeJob& job, uint32_t& pos, uint32_t w, bool push_extra, uint8_t extra) {
    uint8_t* const stack = job.stack;
    uint32_t sp = 0;
    if (push_extra) stack[sp++] = extra;
    while (sp < kMaxString) {
        stack[sp++] = job.last_byte[w];
        const uint16_t next = job.prefix[w];
        if (next == kSingleByte) break;
        if (next == kUndefined) return false;
        w = next;
    }
    while (sp > 0 && pos < job.out_size) job.out[pos++] = stack[--sp];
    return true;
}

// The decoder of one call. The hot loop (run) keeps its state in locals and
// handles the two common cases; everything else goes through slow_code with
// the state written back here, one code at a time.
template <bool kNewStyle, bool kReverse>
class Decoder {
public:
    Decoder(DecodeJob& job, uint32_t early) : job_(job), early_(early), threshold_(512 - early) {
        // Byte codes are strings of length 1 (at offset 0, which is never read
        // for them); every other code starts out unknown.
        for (uint32_t i = 0; i < 256; ++i) rec_[i] = uint64_t{1} << 32;
        std::memset(rec_ + 256, 0, sizeof(uint64_t) * (kLastCode + 1 - 256));
        std::memset(job.in_buf, 0, 4);
    }

    void run();

private:
    enum Step { kGoOn, kStop };

    // The bits of in_buf ran short: keep the partial bytes, read more
    // behind them. False when the data ends inside a code.
    bool refill();
    Step slow_code(uint32_t code);
    void reload_carry() {
        if (job_.out_size - pos_ >= 8) carry_ = load8(job_.out + pos_);
    }
    void grow_width() {
        ++width_;
        threshold_ = (1u << width_) - early_;
    }

    DecodeJob& job_;
    const uint32_t early_;
    // Per code: offset in the output of its intact string (low 32 bits) and
    // the string's length (high 32 bits; 0: walk the tables for this one).
    uint64_t rec_[kLastCode + 1];

    uint32_t pos_ = 0;
    uint64_t bitpos_ = 0;  // bits of in_buf taken
    uint64_t in_bits_ = 0;
    uint32_t in_fill_ = 0;
    bool at_end_ = false;
    uint32_t width_ = 9;
    uint32_t next_ = kFirstFree;
    uint32_t threshold_;
    uint32_t prev_ = kUndefined;
    uint32_t prev_off_ = 0;
    uint32_t prev_len_ = 0;  // 0: the previous output is not the previous code's string
    uint64_t carry_ = 0;     // the 8 bytes at out + pos, when 8 fit
};

template <bool kNewStyle, bool kReverse>
bool Decoder<kNewStyle, kReverse>::refill() {
    uint8_t* const in_buf = job_.in_buf;
    const uint32_t taken = static_cast<uint32_t>(bitpos_ >> 3);
    const uint32_t tail = in_fill_ - taken;
    std::memmove(in_buf, in_buf + taken, tail);
    in_fill_ = tail;
    bitpos_ &= 7;
    if (!at_end_) {
        const uint64_t got = g_host.IO_read(job_.stream, in_buf + tail, kFillLimit - tail);
        const uint32_t n = got > kFillLimit - tail ? kFillLimit - tail : static_cast<uint32_t>(got);
        if constexpr (kReverse) {
            for (uint32_t i = tail; i < tail + n; ++i) in_buf[i] = kReversed.bytes[in_buf[i]];
        }
        in_fill_ += n;
        at_end_ = n == 0;
    }
    std::memset(in_buf + in_fill_, 0, 4);
    in_bits_ = uint64_t{in_fill_} * 8;
    if (bitpos_ + width_ <= in_bits_) return true;
    // The data ends inside a code: that code is dropped, and every byte
    // counts as read.
    bitpos_ = in_bits_;
    return false;
}

template <bool kNewStyle, bool kReverse>
typename Decoder<kNewStyle, kReverse>::Step Decoder<kNewStyle, kReverse>::slow_code(uint32_t code) {
    uint8_t* const out = job_.out;
    uint16_t* const prefix = job_.prefix;
    uint8_t* const first_byte = job_.first_byte;
    uint8_t* const last_byte = job_.last_byte;

    if (code == kEnd) return kStop;
    if (code == kClear) {
        width_ = 9;
        next_ = kFirstFree;
        threshold_ = 512 - early_;
        prev_ = kUndefined;
        prev_len_ = 0;
        for (uint32_t i = kClear; i <= kLastCode; ++i) prefix[i] = kUndefined;
        std::memset(rec_ + 256, 0, sizeof(uint64_t) * (kLastCode + 1 - 256));
        return kGoOn;
    }
    if (prev_ == kUndefined) {
        out[pos_] = static_cast<uint8_t>(code);
        prev_off_ = pos_++;
        // Only a byte code is its own string; anything else is undefined here.
        prev_len_ = code < 256 ? 1 : 0;
        prev_ = code;
        reload_carry();
        return kGoOn;
    }

    const uint32_t p = prev_;
    const uint32_t n = next_;
    const uint32_t start = pos_;
    const uint32_t room = job_.out_size - pos_;
    const uint32_t len = static_cast<uint32_t>(rec_[code] >> 32);
    uint32_t new_len = 0;  // length of the string entry n now stands for, 0 if unknown
    uint32_t out_len = 0;  // length of this code's output when it is the code's whole string
    if (prefix[code] != kUndefined) {
        last_byte[n] = first_byte[code];
        first_byte[n] = first_byte[p];
        prefix[n] = static_cast<uint16_t>(p);
        if (code != n && len != 0) {
            const uint32_t take = len < room ? len : room;
            if (code < 256) out[pos_] = static_cast<uint8_t>(code);
            else copy_string(out + pos_, out + static_cast<uint32_t>(rec_[code]), take);
            pos_ += take;
            out_len = len;
        } else if (!walk_string(job_, pos_, code, false, 0)) {
            return kStop;
        }
        // Entry n is the previous string plus this output's first byte,
        // unless it now loops through itself (the redefined last entry).
        if (out_len != 0 && prev_len_ != 0 && p != n) new_len = prev_len_ + 1;
    } else {
        const uint8_t f = first_byte[p];
        last_byte[n] = f;
        first_byte[n] = f;
        prefix[n] = static_cast<uint16_t>(p);
        if (prev_len_ != 0 && prev_len_ < kMaxString && p != n) {
            // The previous string followed by its own first byte, which sits
            // right behind the previous string in the output.
            const uint32_t want = prev_len_ + 1;
            const uint32_t take = want < room ? want : room;
            const uint8_t* src = out + prev_off_;
            for (uint32_t i = 0; i < take; ++i) out[pos_ + i] = i < prev_len_ ? src[i] : *src;
            pos_ += take;
            new_len = want;
            // A code above the next entry reads as the next entry but itself
            // stays undefined.
            if (code == n) out_len = want;
        } else if (!walk_string(job_, pos_, p, true, f)) {
            return kStop;
        }
    }
    rec_[n] = prev_off_ | (uint64_t{new_len <= kMaxString ? new_len : 0} << 32);
    prev_off_ = start;
    prev_len_ = out_len;
    prev_ = code;
    if (n < kLastCode) {
        next_ = n + 1;
        if (next_ == threshold_ && next_ != kLastCode) grow_width();
    }
    reload_carry();
    return kGoOn;
}

template <bool kNewStyle, bool kReverse>
void Decoder<kNewStyle, kReverse>::run() {
    uint8_t* const out = job_.out;
    uint16_t* const prefix = job_.prefix;
    uint8_t* const first_byte = job_.first_byte;
    uint8_t* const last_byte = job_.last_byte;
    const uint8_t* const in_buf = job_.in_buf;
    const uint32_t out_size = job_.out_size;
    // The common cases write whole words: they need 16 bytes of room behind
    // the string (and the string itself).
    const uint32_t fast_end = out_size >= 16 ? out_size - 16 : 0;
    uint64_t* const rec = rec_;

    reload_carry();
    while (pos_ < out_size) {
        if (bitpos_ + width_ > in_bits_ && !refill()) break;
        // Locals for the common cases, written back before any other case.
        uint64_t bitpos = bitpos_;
        uint32_t width = width_;
        uint32_t pos = pos_;
        uint32_t next = next_;
        uint32_t prev = prev_;
        uint32_t prev_off = prev_off_;
        uint32_t prev_len = prev_len_;
        uint64_t carry = carry_;
        const uint64_t in_bits = in_bits_;
        const uint32_t threshold = threshold_;
        uint32_t code = 0;
        bool slow = false;
        for (;;) {
            if (bitpos + width > in_bits) break;
            if constexpr (kNewStyle) {
                code = (load_be32(in_buf + (bitpos >> 3)) << (bitpos & 7)) >> (32 - width);
            } else {
                code = (load_le32(in_buf + (bitpos >> 3)) >> (bitpos & 7)) & ((1u << width) - 1);
            }
            bitpos += width;
            const uint32_t n = next;
            const uint64_t r = rec[code];
            const uint32_t len = static_cast<uint32_t>(r >> 32);
            if (len != 0 && prev_len != 0 && n < kLastCode && pos + len <= fast_end) {
                // A byte code or a string intact in the output, after a code
                // whose string is intact too: entry n is the previous string
                // plus this string's first byte, both already in the output.
                const uint8_t* src = out + static_cast<uint32_t>(r);
                uint64_t word;
                if (len <= 8) {
                    word = code < 256 ? code : load8(src);
                    carry = put_short(out, pos, word, len, carry);
                } else {
                    word = load8(src);
                    copy_string(out + pos, src, len);
                    carry = load8(out + pos + len);
                }
                last_byte[n] = static_cast<uint8_t>(word);
                first_byte[n] = out[prev_off];
                prefix[n] = static_cast<uint16_t>(prev);
                rec[n] = prev_off | (uint64_t{prev_len + 1} << 32);
                prev_off = pos;
                pos += len;
                prev_len = len;
            } else if (code == n && prev_len != 0 && n < kLastCode && pos + prev_len + 1 <= fast_end) {
                // The code being defined: the previous string and its first byte.
                const uint8_t* src = out + prev_off;
                const uint64_t head = load8(src);
                const uint8_t f = static_cast<uint8_t>(head);
                if (prev_len < 8) {
                    const uint64_t low = ~uint64_t{0} >> (64 - 8 * prev_len);
                    carry = put_short(out, pos, (head & low) | (uint64_t{f} << (8 * prev_len)), prev_len + 1, carry);
                } else {
                    copy_string(out + pos, src, prev_len);
                    out[pos + prev_len] = f;
                    carry = load8(out + pos + prev_len + 1);
                }
                last_byte[n] = f;
                first_byte[n] = f;
                prefix[n] = static_cast<uint16_t>(prev);
                rec[n] = prev_off | (uint64_t{prev_len + 1} << 32);
                prev_off = pos;
                pos += prev_len + 1;
                prev_len += 1;
            } else {
                slow = true;
                break;
            }
            prev = code;
            next = n + 1;
            if (next == threshold) break;  // the width grows (or the table fills)
        }
        bitpos_ = bitpos;
        pos_ = pos;
        next_ = next;
        prev_ = prev;
        prev_off_ = prev_off;
        prev_len_ = prev_len;
        carry_ = carry;
        if (slow) {
            if (slow_code(code) == kStop) break;
        } else if (next_ == threshold_ && next_ != kLastCode) {
            grow_width();
        }
    }
    job_.pos = pos_;
    // Bytes not yet (or only partly) taken go back to the stream.
    job_.unread = in_fill_ - static_cast<uint32_t>((bitpos_ + 7) >> 3);
}

template <bool kNewStyle, bool kReverse>
void decode_codes(DecodeJob& job, uint32_t early) {
    Decoder<kNewStyle, kReverse> decoder(job, early);
    decoder.run();
}

}  // namespace

HostStatus TIF_LZW_decode(HostStream* stream, uint8_t* out, int32_t out_size, uint16_t* prefix, uint8_t* first_byte,
                          uint8_t* last_byte, uint8_t* stack, uint8_t* in_buf, uint32_t* out_count,
                          uint16_t fill_order) {
    // The clear code packed least significant bit first marks old-style data.
    uint8_t b0 = 0;
    uint8_t b1 = 0;
    int32_t taken = g_host.IO_byte_read(stream, &b0);
    if (taken == 1) taken += g_host.IO_byte_read(stream, &b1);
    const bool old_style = (((b1 << 8) | b0) & 0x1FF) == 256;
    // Only what was actually read is given back, so a short stream keeps its position.
    if (taken > 0) g_host.IO_seek(stream, -static_cast<int64_t>(taken), 1);

    for (uint32_t i = 0; i < 256; ++i) {
        prefix[i] = kSingleByte;
        first_byte[i] = last_byte[i] = static_cast<uint8_t>(i);
    }
    for (uint32_t i = kClear; i <= kLastCode; ++i) prefix[i] = kUndefined;
    // Corrupt data can reach entries never defined in this call; start them
    // from known values so the result never depends on an earlier call.
    std::memset(first_byte + 256, 0, kLastCode + 1 - 256);
    std::memset(last_byte + 256, 0, kLastCode + 1 - 256);

    if (out_size <= 0 || out == nullptr) {
        if (out_count != nullptr) *out_count = 0;
        return g_host.AF_error_check();
    }

    DecodeJob job{stream, out, static_cast<uint32_t>(out_size), prefix, first_byte, last_byte, stack, in_buf};
    if (old_style) {
        decode_codes<false, false>(job, 0);
    } else if (fill_order == 2) {
        decode_codes<true, true>(job, 1);
    } else {
        decode_codes<true, false>(job, 1);
    }

    if (job.unread > 0) g_host.IO_seek(stream, -static_cast<int64_t>(job.unread), 1);
    if (out_count != nullptr) *out_count = job.pos;
    return g_host.AF_error_check();
}

}  // namespace kv
