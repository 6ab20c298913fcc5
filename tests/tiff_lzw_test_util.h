// Helpers shared by the TIFF LZW tests: byte vectors worked out by hand,
// the decode routine called over dirty tables, code packers, and a plain
// reference decoder (walking the tables byte by byte) and compressor (a
// map), written straight from the format's rules and kept deliberately
// simple.
#pragma once

#include "../component/tiff/tif_lzw_decode.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace kv {
extern HostServiceTable g_host;
}

namespace tlzw {

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Inputs and their new-style streams, worked out by hand code by code: one
// byte, a repeated pair (a defined code), a code read as it is defined, a
// run of zeros, and nothing at all (a clear and an end code).
struct KnownVector { std::vector<uint8_t> in, stream; };
inline std::vector<KnownVector> known_vectors() {
    return {{{65}, {0x80, 0x10, 0x60, 0x20}},
            {{65, 66, 65, 66}, {0x80, 0x10, 0x48, 0x50, 0x28, 0x08}},
            {{65, 65, 65}, {0x80, 0x10, 0x60, 0x50, 0x10}},
            {std::vector<uint8_t>(10, 0), {0x80, 0x00, 0x20, 0x50, 0x38, 0x24, 0x04}},
            {{}, {0x80, 0x40, 0x40}}};
}

struct Decoded { std::vector<uint8_t> out; uint32_t count = 0; int64_t position = 0; };

// The decode routine from `start` into `out_size` bytes, over work tables
// filled with a pattern, so a result that depended on what an earlier call
// left in them would show up. The output buffer holds a pattern that
// differs from byte to byte: bytes past the decoded ones must keep it.
inline Decoded decode(const std::vector<uint8_t>& data, int32_t out_size, uint16_t fill_order = 1, uint8_t fill = 0xA5,
                      int64_t start = 0) {
    kv::g_host = kvhost::service_table();
    auto stream = kvhost::memory_stream(data);
    kv::g_host.IO_seek(stream.get(), start, 0);
    std::vector<uint16_t> prefix(4096, static_cast<uint16_t>(fill * 257));
    std::vector<uint8_t> first(4096, fill), last(4096, fill), stack(4096, fill), in_buf(1 << 20, fill);
    auto pattern = [](size_t i) { return static_cast<uint8_t>(i * 7 + 0x3D); };
    Decoded d;
    d.out.resize(out_size > 0 ? static_cast<size_t>(out_size) : 0);
    for (size_t i = 0; i < d.out.size(); ++i) d.out[i] = pattern(i);
    d.count = 0xDEADBEEF;
    EXPECT_EQ(kv::TIF_LZW_decode(stream.get(), d.out.data(), out_size, prefix.data(), first.data(), last.data(),
                                 stack.data(), in_buf.data(), &d.count, fill_order),
              0);
    d.position = stream->position;
    if (d.count <= d.out.size()) {
        bool untouched = true;
        for (size_t i = d.count; i < d.out.size(); ++i) untouched &= d.out[i] == pattern(i);
        EXPECT_TRUE(untouched) << "bytes past the decoded ones are left alone";
    }
    d.out.resize(std::min<size_t>(d.out.size(), d.count));
    return d;
}

// Packs codes most significant bit first (new-style), or least significant
// bit first (old-style), each in the width given.
class BitWriter {
public:
    explicit BitWriter(bool lsb_first = false) : lsb_first_(lsb_first) {}
    void put(uint32_t code, int width) {
        for (int i = 0; i < width; ++i) {
            if (bits_ % 8 == 0) bytes_.push_back(0);
            const int b = lsb_first_ ? i : width - 1 - i;
            const int at = lsb_first_ ? bits_ % 8 : 7 - bits_ % 8;
            if ((code >> b) & 1) bytes_.back() |= static_cast<uint8_t>(1 << at);
            ++bits_;
        }
    }
    // Starts the next code on a byte boundary, as a new row of samples does.
    void pad_to_byte() { bits_ = (bits_ + 7) / 8 * 8; }
    std::vector<uint8_t> bytes() const { return bytes_; }
    uint64_t bit_count() const { return bits_; }

private:
    bool lsb_first_;
    std::vector<uint8_t> bytes_;
    uint64_t bits_ = 0;
};

inline uint8_t reverse_bits(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r |= static_cast<uint8_t>(0x80 >> i);
    return r;
}

// The reference: one code at a time, strings pushed on a stack and popped.
// Its position is the count of input bytes that supplied bits.
inline Decoded reference_decode(const std::vector<uint8_t>& in, int32_t out_size, uint16_t fill_order) {
    Decoded r;
    const uint32_t b0 = in.size() > 0 ? in[0] : 0;
    const uint32_t b1 = in.size() > 1 ? in[1] : 0;
    const bool old_style = (((b1 << 8) | b0) & 0x1FF) == 256;
    const uint32_t e = old_style ? 0 : 1;
    std::vector<uint16_t> prefix(4096, 0xFFFF);
    std::vector<uint8_t> first(4096, 0), last(4096, 0), stack;
    for (int b = 0; b < 256; ++b) {
        prefix[b] = 0xFFFE;
        first[b] = last[b] = static_cast<uint8_t>(b);
    }
    if (out_size <= 0) return r;
    uint32_t width = 9, next = 258, threshold = 512 - e, prev = 0xFFFF;
    uint64_t acc = 0;
    uint32_t bits = 0;
    size_t ip = 0;
    while (r.out.size() < static_cast<size_t>(out_size)) {
        while (bits < width && ip < in.size()) {
            const uint8_t byte = in[ip++];
            if (old_style) acc |= static_cast<uint64_t>(byte) << bits;
            else acc = (acc << 8) | (fill_order == 2 ? reverse_bits(byte) : byte);
            bits += 8;
        }
        if (bits < width) break;  // the data ends before the code does
        const uint64_t mask = (1u << width) - 1;
        const auto code = static_cast<uint32_t>(old_style ? acc & mask : (acc >> (bits - width)) & mask);
        if (old_style) acc >>= width;
        bits -= width;
        if (code == 257) break;
        if (code == 256) {
            width = 9, next = 258, threshold = 512 - e, prev = 0xFFFF;
            std::fill(prefix.begin() + 256, prefix.end(), 0xFFFF);
            continue;
        }
        if (prev == 0xFFFF) {
            r.out.push_back(static_cast<uint8_t>(code));
            prev = code;
            continue;
        }
        const uint32_t p = prev, n = next;
        const bool known = prefix[code] != 0xFFFF;  // else the code is read as it is defined
        stack.assign(known ? 0 : 1, first[p]);
        last[n] = known ? first[code] : first[p];
        uint32_t w = known ? code : p;
        first[n] = first[p];
        prefix[n] = static_cast<uint16_t>(p);
        while (stack.size() < 4096 && w < 0xFFFE) {
            stack.push_back(last[w]);
            w = prefix[w];
        }
        if (w == 0xFFFF) break;  // the walk reached an undefined entry
        while (!stack.empty() && r.out.size() < static_cast<size_t>(out_size)) {
            r.out.push_back(stack.back());
            stack.pop_back();
        }
        if (n < 4095 && ++next == threshold && next != 4095) threshold = (1u << ++width) - e;
        prev = code;
    }
    r.position = static_cast<int64_t>(ip);
    r.count = static_cast<uint32_t>(r.out.size());
    return r;
}

// The width the decoder expects for the code read when `next` has the given
// value (after a clear, with at least one code since): new-style grows one
// entry early.
inline int width_for_next(uint32_t next, bool old_style) {
    const uint32_t e = old_style ? 0 : 1;
    return next >= 2048 - e ? 12 : next >= 1024 - e ? 11 : next >= 512 - e ? 10 : 9;
}

// The decoder's table growth: every code after the first one past a clear
// defines an entry, up to 4095.
struct TableGrowth {
    uint32_t next = 258;
    bool have_prev = false;
    void step(uint32_t code) {
        if (code == 256) next = 258, have_prev = false;
        else if (!have_prev) have_prev = true;
        else if (next < 4095) ++next;
    }
};

// Packs a code sequence with the widths the decoder will expect, following
// its table growth. The stream starts as it is given: no implicit clear.
inline std::vector<uint8_t> pack_codes(const std::vector<uint32_t>& codes, bool old_style) {
    BitWriter w(old_style);
    TableGrowth t;
    for (uint32_t c : codes) {
        w.put(c, width_for_next(t.next, old_style));
        if (c == 257) break;
        t.step(c);
    }
    return w.bytes();
}

// Reference compressor, step by step as the format's encoder is described:
// a map from (prefix code, byte) to code, a clear code first, the pending
// code and a clear when code 4094 would be next, codes packed most
// significant bit first, widening after 511, 1023 and 2047 are assigned,
// and the end code in the width the decoder reads it at. `final_next`
// receives the next code to assign when the last data code is written.
inline std::vector<uint8_t> reference_compress(const std::vector<uint8_t>& in, std::vector<uint32_t>* codes = nullptr,
                                               uint32_t* final_next = nullptr) {
    BitWriter w;
    int width = 9;
    auto put = [&](uint32_t c) {
        w.put(c, width);
        if (codes) codes->push_back(c);
    };
    put(256);
    uint32_t next = 258;
    if (!in.empty()) {
        std::map<uint32_t, uint32_t> dict;
        uint32_t cur = in[0];
        for (size_t i = 1; i < in.size(); ++i) {
            const uint32_t key = (cur << 8) | in[i];
            if (auto it = dict.find(key); it != dict.end()) {
                cur = it->second;
                continue;
            }
            put(cur);
            if (next == 4094) {
                put(256);
                dict.clear();
                next = 258, width = 9;
            } else {
                dict[key] = next;
                if (next == 511 || next == 1023 || next == 2047) ++width;
                ++next;
            }
            cur = in[i];
        }
        put(cur);
        // Reading cur, the decoder defines one more entry: at 510, 1022 and
        // 2046 that widens its codes before the end code.
        if (next == 511 || next == 1023 || next == 2047) ++width;
    }
    if (final_next) *final_next = next;
    put(257);
    return w.bytes();
}

}  // namespace tlzw
