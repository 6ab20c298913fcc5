// TIFF LZW compression: new-style codes (most significant bit first, the
// width growing one code early), a clear code first, a clear after code
// 4093 and the end-of-information code last. No predictor, no fill order.
#include "frame/service_table.h"
#include "tiff/named_services.h"

#include <cstring>

namespace kv {

namespace {

constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstFree = 258;
constexpr uint32_t kLastAssigned = 4093;
// 32768 slots: at most 3836 strings fill them to 12 percent, so probes
// rarely go past the first slot. Only the codes are observable, and they
// do not depend on the table.
constexpr uint32_t kSlotBits = 15;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr uint32_t kSlotMask = kSlots - 1;
constexpr uint32_t kKeyMask = 0xFFFFF;
constexpr uint64_t kGrowth = 1u << 20;
// Input bytes per run without a look at the output's room: each byte adds at
// most one 12-bit code and a clear code, 3 bytes.
constexpr int64_t kChunk = 4096;
constexpr uint64_t kChunkOutput = 3 * kChunk + 16;

// A scrambled slot number per byte value, spread over the whole table.
struct ByteHash {
    uint32_t v[256];
    constexpr ByteHash() : v() {
        for (uint32_t c = 0; c < 256; ++c) v[c] = ((c + 1) * 0x9E3779B1u) >> (32 - kSlotBits);
    }
};
constexpr ByteHash kByteHash;

// The compressed bytes, in a host block grown 1 MiB at a time.
struct Output {
    uint32_t tag;
    uint8_t* buffer;
    uint64_t length = 0;
    uint64_t capacity = kGrowth;

    // Grows the buffer as soon as it is full, also after the very last byte.
    bool grow() {
        void* grown = g_host.AF_memm_realloc(tag, buffer, length + kGrowth, module::kTiff, __LINE__);
        if (grown == nullptr) {
            // The host leaves the old block in place on failure; nobody would
            // hold a pointer to it any more, so it goes now.
            host_free(tag, buffer, module::kTiff, __LINE__);
            buffer = nullptr;
            record_error(module::kTiff, __LINE__, err::kNoMemory);
            return false;
        }
        buffer = static_cast<uint8_t*>(grown);
        capacity = length + kGrowth;
        return true;
    }

    bool append(uint8_t byte) {
        buffer[length++] = byte;
        return length != capacity || grow();
    }
};

// Bits waiting to become bytes: the low `bits` bits of acc, oldest highest.
struct BitSink {
    uint64_t acc = 0;
    uint32_t bits = 0;

    void put(uint32_t code, uint32_t width) {
        acc = (acc << width) | code;
        bits += width;
    }
    // Whole bytes one at a time, growing the buffer exactly when it fills.
    bool emit(Output& out) {
        while (bits >= 8) {
            bits -= 8;
            if (!out.append(static_cast<uint8_t>(acc >> bits))) return false;
        }
        return true;
    }
    bool flush(Output& out) {
        if (!emit(out)) return false;
        if (bits > 0) {
            const uint8_t last = static_cast<uint8_t>(acc << (8 - bits));
            bits = 0;
            return out.append(last);
        }
        return true;
    }
};

// The state of one compression.
struct Encoder {
    uint32_t* table;
    Output& out;
    BitSink sink;
    uint32_t width = 9;
    uint32_t next = kFirstFree;
    uint32_t limit = 512;
    uint32_t cur = 0;
    // The child last found or made for each code (child << 8 | byte, 0 for
    // none): repetitive data mostly takes the same branch again, and
    // checking it is cheaper than a hash probe.
    uint32_t hint[kLastAssigned + 1];
    // Four bytes at a time along strings taken before: for a code, the
    // next four input bytes last seen after it (bits 0-31), the code they
    // led to (bits 32-43) and the table generation (bits 48-63). The table
    // only grows between clears, so such a step stays right until the next
    // one; a new generation makes every older step void.
    uint64_t step4[kLastAssigned + 1];
    uint64_t generation = kGeneration;
    static constexpr uint64_t kGeneration = uint64_t{1} << 48;

    Encoder(uint32_t* t, Output& o) : table(t), out(o) {
        std::memset(table, 0, kSlots * sizeof(uint32_t));
        std::memset(hint, 0, sizeof hint);
        std::memset(step4, 0, sizeof step4);
    }

    // Compresses [ip, end) into at most kChunkOutput bytes that the caller
    // has checked are free short of the point where the buffer grows. With
    // kHint the hint is tried (and kept up) first, and the result counts the
    // bytes it found.
    template <bool kHint>
    int64_t run(const uint8_t* ip, const uint8_t* const end) {
        uint32_t* const tab = table;
        uint32_t* const hints = hint;
        int64_t hint_matches = 0;
        uint8_t* op = out.buffer + out.length;
        uint64_t acc = sink.acc;
        uint32_t bits = sink.bits;
        uint32_t c_width = width;
        uint32_t c_next = next;
        uint32_t c_limit = limit;
        uint32_t c_cur = cur;
        uint64_t* const steps = step4;
        uint64_t gen = generation;
        // Where the current run of found bytes started (a code), and its length.
        uint32_t r_start = c_cur;
        uint32_t r_length = 0;
        // Records a found byte; every fourth one of a run makes a step.
        auto found_byte = [&](const uint8_t* after) {
            if (++r_length == 4) {
                uint32_t bytes;
                std::memcpy(&bytes, after - 4, 4);
                steps[r_start] = gen | (uint64_t{c_cur} << 32) | bytes;
                r_start = c_cur;
                r_length = 0;
            }
        };
        while (ip < end) {
            if constexpr (kHint) {
                if (end - ip >= 4) {
                    const uint64_t step = steps[c_cur];
                    uint32_t bytes;
                    std::memcpy(&bytes, ip, 4);
                    if (((step ^ (gen | bytes)) & 0xFFFF0000FFFFFFFFull) == 0) {
                        c_cur = static_cast<uint32_t>(step >> 32) & 0xFFF;
                        ip += 4;
                        hint_matches += 4;
                        r_start = c_cur;
                        r_length = 0;
                        continue;
                    }
                }
            }
            const uint32_t c = *ip++;
            if constexpr (kHint) {
                const uint32_t guess = hints[c_cur];
                if ((guess & 0xFF) == c && guess != 0) {
                    c_cur = guess >> 8;
                    ++hint_matches;
                    found_byte(ip);
                    continue;
                }
            }
            const uint32_t key = (c_cur << 8) | c;
            // The byte's scrambled part does not wait for the previous
            // lookup, so the chain from one string code to the next is short.
            uint32_t h = (c_cur << (kSlotBits - 12)) ^ kByteHash.v[c];
            uint32_t slot = tab[h];
            while (slot != 0 && (slot & kKeyMask) != key) {
                h = (h + 1) & kSlotMask;
                slot = tab[h];
            }
            if (slot != 0) {
                // (A hint left as it was still names a child of its code.)
                if constexpr (kHint) hints[c_cur] = ((slot >> 20) << 8) | c;
                c_cur = slot >> 20;
                if constexpr (kHint) found_byte(ip);
                continue;
            }
            acc = (acc << c_width) | c_cur;
            bits += c_width;
            if (c_next == kLastAssigned + 1) {
                acc = (acc << c_width) | kClear;
                bits += c_width;
                c_width = 9;
                c_limit = 512;
                c_next = kFirstFree;
                std::memset(tab, 0, kSlots * sizeof(uint32_t));
                std::memset(hints, 0, sizeof hint);
                gen += kGeneration;
                if (gen == 0) {
                    // The generations wrapped around: forget every step.
                    std::memset(steps, 0, sizeof step4);
                    gen = kGeneration;
                }
            } else {
                tab[h] = (c_next << 20) | key;
                hints[c_cur] = (c_next << 8) | c;
                if (c_next == c_limit - 1) {
                    ++c_width;
                    c_limit <<= 1;
                }
                ++c_next;
            }
            if (bits >= 32) {
                bits -= 32;
                const uint32_t word = __builtin_bswap32(static_cast<uint32_t>(acc >> bits));
                std::memcpy(op, &word, 4);
                op += 4;
            }
            c_cur = c;
            r_start = c;
            r_length = 0;
        }
        generation = gen;
        out.length = static_cast<uint64_t>(op - out.buffer);
        sink.acc = acc;
        sink.bits = bits;
        width = c_width;
        next = c_next;
        limit = c_limit;
        cur = c_cur;
        return hint_matches;
    }
};

// Compresses input into out. Returns false when the output could not grow.
bool encode(const uint8_t* input, int32_t input_length, uint32_t* table, Output& out) {
    Encoder e(table, out);
    e.sink.put(kClear, e.width);
    if (input == nullptr || input_length <= 0) {
        // Nothing to compress: a stream that is a clear and an end code.
        e.sink.put(kEnd, e.width);
        return e.sink.flush(out);
    }
    e.cur = input[0];
    const uint8_t* ip = input + 1;
    const uint8_t* const end = input + input_length;
    // Chunks of input go with the hint while it matches often, and without
    // it (and its upkeep) while it does not, trying it again now and then.
    bool with_hint = true;
    uint32_t without = 0;
    while (ip < end) {
        const uint8_t* chunk_end = end - ip > kChunk ? ip + kChunk : end;
        if (out.capacity - out.length <= kChunkOutput) {
            // Close to the point where the buffer grows: byte by byte there,
            // so that it grows exactly when it fills.
            if (!e.sink.emit(out)) return false;
            chunk_end = ip + 1;
            e.run<true>(ip, chunk_end);
            if (!e.sink.emit(out)) return false;
        } else {
            if (with_hint) {
                with_hint = e.run<true>(ip, chunk_end) * 2 > chunk_end - ip;
            } else {
                e.run<false>(ip, chunk_end);
                with_hint = ++without % 8 == 0;
            }
        }
        ip = chunk_end;
    }
    if (!e.sink.emit(out)) return false;
    e.sink.put(e.cur, e.width);
    // Reading that last code, a decoder defines one more entry and may widen
    // (or fill its table) before it reads the end code: write the end code
    // the way it will be read.
    if (e.next == kLastAssigned) {
        e.sink.put(kClear, e.width);
        e.sink.put(kEnd, 9);
    } else {
        e.sink.put(kEnd, e.next == e.limit - 1 ? e.width + 1 : e.width);
    }
    return e.sink.flush(out);
}

}  // namespace

HostStatus KV_LZW_compress(uint32_t tag, const uint8_t* input, int32_t input_length, uint8_t** output,
                           uint32_t* output_length) {
    // Without a place for the result, compressing would only leak the buffer.
    if (output == nullptr) return error_status();

    auto* table = static_cast<uint32_t*>(host_alloc(tag, kSlots * sizeof(uint32_t), module::kTiff, __LINE__));
    Output out{tag, static_cast<uint8_t*>(host_alloc(tag, kGrowth, module::kTiff, __LINE__))};
    if (table == nullptr || out.buffer == nullptr) {
        record_error(module::kTiff, __LINE__, err::kNoMemory);
    } else {
        encode(input, input_length, table, out);
    }
    if (output_length != nullptr) *output_length = static_cast<uint32_t>(out.length);
    *output = out.buffer;
    host_free(tag, table, module::kTiff, __LINE__);
    return error_status();
}

HostStatus TIFF_LZW_Write(HostStream* stream, uint32_t tag, const uint8_t* input, uint32_t* count) {
    if (count == nullptr) return error_status();
    uint8_t* compressed = nullptr;
    uint32_t length = 0;
    const HostStatus status =
        KV_LZW_compress(tag, input, static_cast<int32_t>(*count), &compressed, &length);
    if (status == 0 && compressed != nullptr) {
        *count = static_cast<uint32_t>(g_host.IO_write(stream, compressed, length));
    }
    host_free(tag, compressed, module::kTiff, __LINE__);
    return error_status();
}

}  // namespace kv
