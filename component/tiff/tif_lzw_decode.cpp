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
    uint32_t pos = 0;      // bytes written
    uint32_t in_pos = 0;   // next unread byte of in_buf
    uint32_t in_fill = 0;  // bytes of the last fill of in_buf
};

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

template <bool kNewStyle, bool kReverse>
void decode_codes(DecodeJob& job, uint32_t early) {
    // Where each code's string was last seen intact in the output, and its
    // length; length 0 means "walk the tables for this one". Entry n's pair
    // is written whenever n is defined, so stale values are never read.
    uint32_t offset[kLastCode + 1];
    uint16_t length[kLastCode + 1];

    HostStream* const stream = job.stream;
    uint8_t* const out = job.out;
    const uint32_t out_size = job.out_size;
    uint16_t* const prefix = job.prefix;
    uint8_t* const first_byte = job.first_byte;
    uint8_t* const last_byte = job.last_byte;
    const uint8_t* const in_buf = job.in_buf;

    uint32_t pos = 0;
    uint32_t in_pos = 0;
    uint32_t in_fill = 0;
    uint32_t width = 9;
    uint32_t next = kFirstFree;
    uint32_t threshold = 512 - early;
    uint32_t prev = kUndefined;
    uint32_t prev_off = 0;
    uint32_t prev_len = 0;  // 0: the previous output is not the previous code's string
    uint32_t acc = 0;
    uint32_t bits = 0;

    while (pos < out_size) {
        // Gather bits for one code.
        while (bits < width) {
            if (in_pos == in_fill) {
                const uint64_t got = g_host.IO_read(stream, job.in_buf, kReadBlock);
                in_pos = 0;
                in_fill = got > kReadBlock ? kReadBlock : static_cast<uint32_t>(got);
                if (in_fill == 0) goto done;
            }
            uint32_t byte = in_buf[in_pos++];
            if constexpr (kNewStyle) {
                if constexpr (kReverse) byte = kReversed.bytes[byte];
                acc = (acc << 8) | byte;
            } else {
                acc |= byte << bits;
            }
            bits += 8;
        }
        {
            uint32_t code;
            if constexpr (kNewStyle) {
                code = (acc >> (bits - width)) & ((1u << width) - 1);
            } else {
                code = acc & ((1u << width) - 1);
                acc >>= width;
            }
            bits -= width;

            if (code == kEnd) break;
            if (code == kClear) {
                width = 9;
                next = kFirstFree;
                threshold = 512 - early;
                prev = kUndefined;
                for (uint32_t i = kClear; i <= kLastCode; ++i) prefix[i] = kUndefined;
                continue;
            }
            if (prev == kUndefined) {
                out[pos] = static_cast<uint8_t>(code);
                prev_off = pos++;
                // Only a byte code is its own string; anything else is undefined here.
                prev_len = code < 256 ? 1 : 0;
                prev = code;
                continue;
            }

            const uint32_t p = prev;
            const uint32_t n = next;
            const uint32_t start = pos;
            const uint32_t room = out_size - pos;
            uint32_t new_len = 0;  // length of the string entry n now stands for, 0 if unknown
            uint32_t out_len = 0;  // length of this code's output when it is the code's whole string
            if (prefix[code] != kUndefined) {
                last_byte[n] = first_byte[code];
                first_byte[n] = first_byte[p];
                prefix[n] = static_cast<uint16_t>(p);
                if (code < 256) {
                    out[pos++] = static_cast<uint8_t>(code);
                    out_len = 1;
                } else if (code != n && length[code] != 0) {
                    const uint32_t len = length[code];
                    const uint8_t* src = out + offset[code];
                    const uint32_t take = len < room ? len : room;
                    copy_string(out + pos, src, take);
                    pos += take;
                    out_len = len;
                } else if (!walk_string(job, pos, code, false, 0)) {
                    break;
                }
                // Entry n is the previous string plus this output's first byte,
                // unless it now loops through itself (the redefined last entry).
                if (out_len != 0 && prev_len != 0 && p != n) new_len = prev_len + 1;
            } else {
                const uint8_t f = first_byte[p];
                last_byte[n] = f;
                first_byte[n] = f;
                prefix[n] = static_cast<uint16_t>(p);
                if (prev_len != 0 && prev_len < kMaxString && p != n) {
                    // The previous string followed by its own first byte, which
                    // sits right behind the previous string in the output.
                    const uint32_t len = prev_len + 1;
                    const uint8_t* src = out + prev_off;
                    if (room >= len) {
                        copy_string(out + pos, src, prev_len);
                        out[pos + prev_len] = *src;
                        pos += len;
                    } else {
                        const uint32_t take = len < room ? len : room;
                        for (uint32_t i = 0; i < take; ++i) out[pos + i] = i < prev_len ? src[i] : *src;
                        pos += take;
                    }
                    new_len = len;
                    // A code above the next entry reads as the next entry but
                    // itself stays undefined.
                    if (code == n) out_len = len;
                } else if (!walk_string(job, pos, p, true, f)) {
                    break;
                }
            }
            offset[n] = prev_off;
            length[n] = static_cast<uint16_t>(new_len <= kMaxString ? new_len : 0);

            if (n < kLastCode) {
                next = n + 1;
                if (next == threshold && next != kLastCode) {
                    ++width;
                    threshold = (1u << width) - early;
                }
            }
            prev = code;
            prev_off = start;
            prev_len = out_len;
        }
    }
done:
    job.pos = pos;
    job.in_pos = in_pos;
    job.in_fill = in_fill;
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

    if (job.in_fill > job.in_pos) g_host.IO_seek(stream, -static_cast<int64_t>(job.in_fill - job.in_pos), 1);
    if (out_count != nullptr) *out_count = job.pos;
    return g_host.AF_error_check();
}

}  // namespace kv
