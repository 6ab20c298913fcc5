// TIFF LZW decoding: new-style data (codes most significant bit first, the
// width growing one code early) and the older variant (least significant
// bit first, growing at the power of two).
//
// The table answers every question a plain stack-walking decoder asks of its
// prefix / first byte / last byte tables with the same answer, so corrupt
// data (undefined codes, cycles through the redefined last entry, over-long
// strings) decodes the same way a byte-by-byte walk would. Well-formed
// strings, though, are not walked: every code whose string is known to sit
// intact in the output already is copied from there in one go, which is
// what makes this fast.
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
constexpr uint32_t kReadBlock = kLzwInputSpan;

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

// One entry of the decoder's table, 64 bits: where its string was written
// whole in the output (bits 0-31), that string's length (bits 32-47;
// kUnknownLen when it is not in the output as a whole) and the entry's prefix code (bits
// 48-63). The first and last bytes of an entry whose string is in the
// output are read from there; those of any other entry are kept in the
// caller's first_byte / last_byte tables.
constexpr int kLenShift = 32;
constexpr int kPrefixShift = 48;
inline uint64_t make_entry(uint32_t off, uint32_t len, uint32_t prefix_code) {
    return off | (uint64_t{len} << kLenShift) | (uint64_t{prefix_code} << kPrefixShift);
}
inline uint32_t entry_off(uint64_t e) { return static_cast<uint32_t>(e); }
inline uint32_t entry_len(uint64_t e) { return static_cast<uint32_t>(e >> kLenShift) & 0xFFFF; }
// Longer than any string the hot loop copies, so that it needs no test of
// its own there.
constexpr uint32_t kUnknownLen = 0xFFFF;
inline uint32_t entry_prefix(uint64_t e) { return static_cast<uint32_t>(e >> kPrefixShift); }
// In the prefix field: the prefix is the byte code of the string's first
// byte (a two-byte string made after a byte code).
constexpr uint32_t kBytePrefix = 0xFFFD;
// The whole of such an entry but for its offset.
constexpr uint64_t kAfterByte = (uint64_t{2} << kLenShift) | (uint64_t{kBytePrefix} << kPrefixShift);

// The decoder of one call. The hot loop (run) keeps its state in locals and
// handles the two common cases; everything else goes through slow_code with
// the state written back here, one code at a time.
//
// A clear costs nothing: which entries are defined follows from next_, and
// the entries of earlier tables stay readable (corrupt data reaches their
// first and last bytes through undefined codes, just as it would in tables
// that a clear only marks undefined).
template <bool kNewStyle, bool kReverse>
class Decoder {
public:
    Decoder(DecodeJob& job, uint32_t early) : job_(job), early_(early), threshold_(512 - early) {
        // Byte codes are strings of length 1 (at offset 0, which is never read
        // for them); the clear and end codes are never defined.
        for (uint32_t i = 0; i < 256; ++i) rec_[i] = make_entry(0, 1, kSingleByte);
        rec_[kClear] = rec_[kEnd] = make_entry(0, kUnknownLen, kUndefined);
        std::memset(job.in_buf, 0, 4);
    }

    void run();

private:
    enum Step { kGoOn, kStop };

    // The bits of in_buf ran short: keep the partial bytes, read more
    // behind them. False when the data ends inside a code.
    bool refill();
    Step slow_code(uint32_t code);
    // The window: the caller's stack holds the bytes that out had at
    // win_base_ onwards before this call, so that the hot loop may store
    // whole words past the end of what it has decoded and the bytes behind
    // the output can be put back as they were.
    void open_window();
    void close_window();
    void grow_width() {
        ++width_;
        threshold_ = (1u << width_) - early_;
    }

    // The table as a plain prefix / first byte / last byte decoder has it.
    bool defined(uint32_t code) const {
        return code < 256 || (code >= kFirstFree && code < next_) || code == defining_ ||
               (code == kLastCode && top_defined_);
    }
    // Defined at least once in this call; the others read as 0.
    bool ever_defined(uint32_t code) const {
        return code >= kFirstFree &&
               (code < high_next_ || code < next_ || code == defining_ || (code == kLastCode && top_ever_));
    }
    uint32_t prefix_of(uint32_t code) const {
        if (code < 256) return kSingleByte;
        if (!defined(code)) return kUndefined;
        const uint64_t e = rec_[code];
        return entry_prefix(e) == kBytePrefix ? job_.out[entry_off(e)] : entry_prefix(e);
    }
    uint8_t first_of(uint32_t code) const {
        if (code < 256) return static_cast<uint8_t>(code);
        if (!ever_defined(code)) return 0;
        const uint64_t e = rec_[code];
        return entry_len(e) != kUnknownLen ? job_.out[entry_off(e)] : job_.first_byte[code];
    }
    uint8_t last_of(uint32_t code) const {
        if (code < 256) return static_cast<uint8_t>(code);
        if (!ever_defined(code)) return 0;
        const uint64_t e = rec_[code];
        return entry_len(e) != kUnknownLen ? job_.out[entry_off(e) + entry_len(e) - 1] : job_.last_byte[code];
    }
    // Defines entry n as a string not (known to be) in the output.
    void define_walked(uint32_t n, uint32_t p, uint8_t first, uint8_t last) {
        job_.first_byte[n] = first;
        job_.last_byte[n] = last;
        rec_[n] = make_entry(0, kUnknownLen, p);
        defining_ = n;
        if (n == kLastCode) top_defined_ = top_ever_ = true;
    }
    // Writes the string that starts with `extra` (when push_extra) followed
    // by the walk of the table from w, cut to its last 4096 bytes. Returns
    // false when the walk meets an undefined entry (corrupt data: decoding
    // ends and nothing of this string is written).
    bool walk_string(uint32_t w, bool push_extra, uint8_t extra);
    template <uint32_t kWidth, bool kBytes>
    __attribute__((noinline)) bool fast_codes(uint32_t lim, uint32_t stop);
    template <bool kBytes>
    bool fast_codes_of_width(uint32_t lim, uint32_t stop) {
        switch (width_) {
            case 9: return fast_codes<9, kBytes>(lim, stop);
            case 10: return fast_codes<10, kBytes>(lim, stop);
            case 11: return fast_codes<11, kBytes>(lim, stop);
            default: return fast_codes<12, kBytes>(lim, stop);
        }
    }

    DecodeJob& job_;
    const uint32_t early_;
    // Entries 0..257 are set up front, the others when defined.
    uint64_t rec_[kLastCode + 1];

    uint32_t pos_ = 0;
    uint64_t bitpos_ = 0;  // bits of in_buf taken
    uint64_t in_bits_ = 0;
    uint32_t in_fill_ = 0;
    bool at_end_ = false;
    uint32_t width_ = 9;
    uint32_t next_ = kFirstFree;
    uint32_t high_next_ = kFirstFree;  // the highest next_ of earlier tables
    uint32_t defining_ = kUndefined;   // the entry a walk is defining
    bool top_defined_ = false;         // entry 4095 defined in this table
    bool top_ever_ = false;            // ... in any table of this call
    uint32_t threshold_;
    uint32_t prev_ = kUndefined;
    uint32_t prev_off_ = 0;
    uint32_t prev_len_ = 0;  // 0: the previous output is not the previous code's string
    uint32_t win_base_ = 0;
    bool win_open_ = false;
    bool bytes_mostly_ = false;  // the codes of the data so far
    bool probed_ = false;        // ... as far as they tell it
};

// The bits above the low 8 of each of the four codes at the top of a
// 64-bit word: clear when all four are byte codes.
template <uint32_t kWidth>
constexpr uint64_t kByteQuadMask = [] {
    uint64_t mask = 0;
    for (uint32_t k = 0; k < 4; ++k) mask |= ((uint64_t{1} << (kWidth - 8)) - 1) << (64 - kWidth * k - (kWidth - 8));
    return mask;
}();

// Codes a first run of the fast loop takes to tell byte-code data.
constexpr uint32_t kProbeCodes = 64;

// Stores of up to 8 bytes at the output position reach no further than
// this past it.
constexpr uint32_t kOvershoot = 8;

template <bool kNewStyle, bool kReverse>
void Decoder<kNewStyle, kReverse>::open_window() {
    uint8_t* const out = job_.out;
    uint8_t* const saved = job_.stack;
    const uint32_t end = job_.out_size - pos_ < kMaxString ? job_.out_size : pos_ + kMaxString;
    uint32_t kept = 0;
    if (win_open_) {
        // The bytes just past the output may hold words stored ahead: their
        // old values are in the window already.
        const uint32_t win_end = win_base_ + kMaxString;
        const uint32_t known = win_end > pos_ ? win_end - pos_ : 0;
        kept = known < kOvershoot ? known : kOvershoot;
        if (kept > end - pos_) kept = end - pos_;
        std::memmove(saved, saved + (pos_ - win_base_), kept);
    }
    // Everything further on is untouched.
    std::memcpy(saved + kept, out + pos_ + kept, end - pos_ - kept);
    win_base_ = pos_;
    win_open_ = true;
}

template <bool kNewStyle, bool kReverse>
void Decoder<kNewStyle, kReverse>::close_window() {
    if (!win_open_) return;
    const uint32_t win_end = win_base_ + kMaxString;
    uint32_t end = pos_ + kOvershoot;
    if (end > win_end) end = win_end;
    if (end > job_.out_size) end = job_.out_size;
    for (uint32_t i = pos_; i < end; ++i) job_.out[i] = job_.stack[i - win_base_];
    win_open_ = false;
}

template <bool kNewStyle, bool kReverse>
bool Decoder<kNewStyle, kReverse>::walk_string(uint32_t w, bool push_extra, uint8_t extra) {
    uint8_t* const stack = job_.stack;
    uint32_t sp = 0;
    if (push_extra) stack[sp++] = extra;
    while (sp < kMaxString) {
        stack[sp++] = last_of(w);
        const uint32_t next = prefix_of(w);
        if (next == kSingleByte) break;
        if (next == kUndefined) return false;
        w = next;
    }
    while (sp > 0 && pos_ < job_.out_size) job_.out[pos_++] = stack[--sp];
    return true;
}

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

    if (code == kEnd) return kStop;
    if (code == kClear) {
        if (next_ > high_next_) high_next_ = next_;
        width_ = 9;
        next_ = kFirstFree;
        threshold_ = 512 - early_;
        prev_ = kUndefined;
        prev_len_ = 0;
        top_defined_ = false;
        return kGoOn;
    }
    if (prev_ == kUndefined) {
        out[pos_] = static_cast<uint8_t>(code);
        prev_off_ = pos_++;
        // Only a byte code is its own string; anything else is undefined here.
        prev_len_ = code < 256 ? 1 : 0;
        prev_ = code;
        return kGoOn;
    }

    const uint32_t p = prev_;
    const uint32_t n = next_;
    const uint32_t start = pos_;
    const uint32_t room = job_.out_size - pos_;
    uint32_t new_len = 0;  // length of the string entry n now stands for, 0 if unknown
    uint32_t out_len = 0;  // length of this code's output when it is the code's whole string
    // Entry n: the previous string and the first byte of this code's string
    // (read before n changes: the code may be n itself).
    uint8_t new_first = first_of(p);
    uint8_t new_last;
    if (defined(code)) {
        new_last = first_of(code);
        const uint64_t e = rec_[code];
        const uint32_t len = code != n && entry_len(e) != kUnknownLen ? entry_len(e) : 0;
        if (len != 0) {
            const uint32_t take = len < room ? len : room;
            if (code < 256) out[pos_] = static_cast<uint8_t>(code);
            else copy_string(out + pos_, out + entry_off(e), take);
            pos_ += take;
            out_len = len;
        } else {
            // The walk sees entry n's new values: it may pass through n.
            define_walked(n, p, new_first, new_last);
            close_window();
            const bool whole = walk_string(code, false, 0);
            defining_ = kUndefined;
            if (!whole) return kStop;
        }
        // Entry n is the previous string plus this output's first byte,
        // unless it now loops through itself (the redefined last entry).
        if (out_len != 0 && prev_len_ != 0 && p != n) new_len = prev_len_ + 1;
    } else {
        new_last = new_first;
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
        } else {
            define_walked(n, p, new_first, new_last);
            close_window();
            const bool whole = walk_string(p, true, new_first);
            defining_ = kUndefined;
            if (!whole) return kStop;
        }
    }
    if (new_len > kMaxString || new_len == 0) {
        define_walked(n, p, new_first, new_last);
        defining_ = kUndefined;
    } else {
        rec_[n] = make_entry(prev_off_, new_len, p);
        if (n == kLastCode) top_defined_ = top_ever_ = true;
    }
    prev_off_ = start;
    prev_len_ = out_len;
    prev_ = code;
    if (n < kLastCode) {
        next_ = n + 1;
        if (next_ == threshold_ && next_ != kLastCode) grow_width();
    }
    return kGoOn;
}

// The common cases, codes of one width up to entry `stop`, while strings
// end below `lim`. Returns true when a code needs slow_code (it is not
// taken), false when the width changes or the input needs refilling.
template <bool kNewStyle, bool kReverse>
template <uint32_t kWidth, bool kBytes>
bool Decoder<kNewStyle, kReverse>::fast_codes(uint32_t lim, uint32_t stop) {
    uint8_t* const out = job_.out;
    const uint8_t* const in_buf = job_.in_buf;
    uint64_t* const rec = rec_;
    const uint64_t bit_limit = in_bits_ - kWidth;
    uint64_t bitpos = bitpos_;
    uint32_t pos = pos_;
    uint32_t n = next_;
    // The entry that the next code defines is made ahead: where the previous
    // string starts, its length + 1 and the previous code.
    uint64_t pending = make_entry(prev_off_, prev_len_ + 1, prev_);
    // One code; false (and nothing taken) when it needs slow_code.
    auto step = [&](uint32_t code) __attribute__((always_inline)) -> bool {
        if constexpr (kBytes) {
            // Noise-like data is mostly byte codes: they need no table entry.
            if (code < 256 && pos < lim) [[likely]] {
                out[pos] = static_cast<uint8_t>(code);
                rec[n] = pending;
                pending = kAfterByte | pos;
                pos += 1;
                return true;
            }
        }
        const uint64_t r = rec[code];
        const uint32_t len = entry_len(r);
        // (An entry whose string is unknown fails on its length.)
        if (code < n && pos + len <= lim) [[likely]] {
            // A byte code or a string intact in the output, after a code
            // whose string is intact too: entry n is the previous string
            // plus this string's first byte, both already in the output.
            uint64_t word = load8(out + entry_off(r));
            if (code < 256) word = code;
            if (len <= 8) [[likely]] {
                std::memcpy(out + pos, &word, 8);
            } else {
                copy_string(out + pos, out + entry_off(r), len);
            }
            rec[n] = pending;
            pending = make_entry(pos, len + 1, code);
            pos += len;
            return true;
        }
        const uint32_t prev_off = entry_off(pending);
        const uint32_t prev_len = entry_len(pending) - 1;
        if (code != n || pos + prev_len + 1 > lim) return false;
        // The code being defined: the previous string and its first byte.
        const uint8_t* src = out + prev_off;
        const uint64_t head = load8(src);
        const uint8_t f = static_cast<uint8_t>(head);
        if (prev_len < 8) {
            const uint64_t low = ~uint64_t{0} >> (64 - 8 * prev_len);
            const uint64_t word = (head & low) | (uint64_t{f} << (8 * prev_len));
            std::memcpy(out + pos, &word, 8);
        } else {
            copy_string(out + pos, src, prev_len);
            out[pos + prev_len] = f;
        }
        rec[n] = pending;
        pending = make_entry(pos, prev_len + 2, code);
        pos += prev_len + 1;
        return true;
    };

    bool slow = false;
    bool stopped = false;
    if constexpr (kNewStyle) {
        // Four codes from one 8-byte load (at least 57 bits) where all 8
        // bytes lie in the first read block of in_buf.
        constexpr uint64_t kLoadLimit = (kReadBlock - 8) * 8;
        const uint64_t quad_limit = in_bits_ < 4 * kWidth ? 0 : in_bits_ - 4 * kWidth;
        const uint64_t limit4 = quad_limit < kLoadLimit ? quad_limit : kLoadLimit;
        // (Whole quads only below `stop`: the codes in one need no test of it.)
        while (bitpos <= limit4 && in_bits_ >= 4 * kWidth && n + 4 <= stop) {
            uint64_t v;
            std::memcpy(&v, in_buf + (bitpos >> 3), 8);
            v = __builtin_bswap64(v) << (bitpos & 7);
            if constexpr (kBytes) {
                // Four byte codes in a row (their high bits all clear): no
                // table reads, and their entries are consecutive two-byte
                // strings of the output.
                if ((v & kByteQuadMask<kWidth>) == 0 && pos + 4 <= lim) [[likely]] {
                    out[pos] = static_cast<uint8_t>(v >> (64 - kWidth));
                    out[pos + 1] = static_cast<uint8_t>(v >> (64 - 2 * kWidth));
                    out[pos + 2] = static_cast<uint8_t>(v >> (64 - 3 * kWidth));
                    out[pos + 3] = static_cast<uint8_t>(v >> (64 - 4 * kWidth));
                    rec[n] = pending;
                    rec[n + 1] = kAfterByte | pos;
                    rec[n + 2] = kAfterByte | (pos + 1);
                    rec[n + 3] = kAfterByte | (pos + 2);
                    pending = kAfterByte | (pos + 3);
                    pos += 4;
                    bitpos += 4 * kWidth;
                    n += 4;
                    continue;
                }
            }
            for (uint32_t k = 0; k < 4; ++k) {
                if (!step(static_cast<uint32_t>(v >> (64 - kWidth)))) {
                    slow = true;
                    break;
                }
                v <<= kWidth;
                bitpos += kWidth;
                ++n;
            }
            if (slow) break;
        }
        if (n == stop) stopped = true;  // the width grows (or the table fills)
    }
    while (!slow && !stopped && bitpos <= bit_limit) {
        uint32_t code;
        if constexpr (kNewStyle) {
            code = (load_be32(in_buf + (bitpos >> 3)) << (bitpos & 7)) >> (32 - kWidth);
        } else {
            code = (load_le32(in_buf + (bitpos >> 3)) >> (bitpos & 7)) & ((1u << kWidth) - 1);
        }
        if (!step(code)) {
            slow = true;
            break;
        }
        bitpos += kWidth;
        if (++n == stop) break;  // the width grows (or the table fills)
    }
    prev_off_ = entry_off(pending);
    prev_len_ = entry_len(pending) - 1;
    prev_ = entry_prefix(pending) == kBytePrefix ? job_.out[entry_off(pending)] : entry_prefix(pending);
    bitpos_ = bitpos;
    pos_ = pos;
    next_ = n;
    return slow;
}

template <bool kNewStyle, bool kReverse>
void Decoder<kNewStyle, kReverse>::run() {
    const uint8_t* const in_buf = job_.in_buf;
    const uint32_t out_size = job_.out_size;
    // The common cases write whole words: they need 16 bytes of room behind
    // the string (and the string itself).
    const uint32_t fast_end = out_size >= 16 ? out_size - 16 : 0;

    while (pos_ < out_size) {
        if (bitpos_ + width_ > in_bits_ && !refill()) break;
        // The window moves along with the output, half its size at a time.
        if (pos_ < fast_end && (!win_open_ || pos_ - win_base_ > kMaxString / 2)) open_window();
        // Words are stored ahead only inside the window.
        uint32_t lim = 0;
        if (win_open_) {
            lim = win_base_ + kMaxString - kOvershoot;
            if (lim > fast_end) lim = fast_end;
        }
        // Entries below the width switch (and below the last one) are made
        // in the fast loop, after a code whose string is in the output.
        uint32_t stop = threshold_ < kLastCode ? threshold_ : kLastCode;
        // Which loop suits the data is told by its first few codes: a strip
        // of noise should not run its first few hundred in the other one.
        if (!probed_ && next_ + kProbeCodes < stop) stop = next_ + kProbeCodes;
        bool slow = prev_ == kUndefined || prev_len_ == 0 || next_ >= stop;
        if (!slow) {
            const uint32_t pos_before = pos_;
            const uint32_t next_before = next_;
            slow = bytes_mostly_ ? fast_codes_of_width<true>(lim, stop) : fast_codes_of_width<false>(lim, stop);
            // Strings of hardly more than a byte on average: mostly byte codes.
            const uint32_t codes = next_ - next_before;
            if (codes >= kProbeCodes) {
                bytes_mostly_ = uint64_t{pos_ - pos_before} * 8 < uint64_t{codes} * 9;
                probed_ = true;
            }
        }
        if (slow) {
            if (bitpos_ + width_ > in_bits_) continue;  // more input first
            uint32_t code;
            if constexpr (kNewStyle) {
                code = (load_be32(in_buf + (bitpos_ >> 3)) << (bitpos_ & 7)) >> (32 - width_);
            } else {
                code = (load_le32(in_buf + (bitpos_ >> 3)) >> (bitpos_ & 7)) & ((1u << width_) - 1);
            }
            bitpos_ += width_;
            if (slow_code(code) == kStop) break;
        } else if (next_ == threshold_ && next_ != kLastCode) {
            grow_width();
        }
    }
    close_window();
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

    // The work tables need no preparation: the decoder keeps its own table
    // (prefix goes unused), writes first_byte / last_byte only for entries it
    // defines and reads them back only for those, and answers 0 for entries
    // never defined in this call, so nothing depends on an earlier call.
    (void)prefix;

    if (out_size <= 0 || out == nullptr) {
        if (out_count != nullptr) *out_count = 0;
        return g_host.AF_error_check();
    }

    DecodeJob job{stream, out, static_cast<uint32_t>(out_size), first_byte, last_byte, stack, in_buf};
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
