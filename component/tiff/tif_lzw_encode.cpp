// TIFF LZW compression: new-style codes (most significant bit first, the
// width growing one code early), a clear code first, a clear after code
// 4093 and the end-of-information code last. No predictor, no fill order.
#include "frame/service_table.h"
#include "lzw/code_table.h"
#include "tiff/named_services.h"

#include <cstring>

namespace kv {

namespace {

constexpr uint32_t kClear = 256;
constexpr uint32_t kEnd = 257;
constexpr uint32_t kFirstFree = 258;
constexpr uint32_t kLastAssigned = 4093;
// The table has two layouts, chosen anew at each clear (only the codes are
// observable, and they do not depend on the table):
// - sparse: 32768 slots, linear probing. At most 3836 strings fill it to
//   12 percent, so a probe almost never goes past the first slot, and data
//   that finds little (noise) can guess "not found" right most of the time.
// - buckets: the encoders' shared code table, for the branch-free path,
//   whose speed is the latency of one lookup.
constexpr uint32_t kSparseBits = 15;
constexpr uint32_t kSparseSlots = 1u << kSparseBits;
constexpr uint32_t kSparseMask = kSparseSlots - 1;
using code_table::kBucketMask;
using code_table::kSlots;
// The block the host gives for the table.
constexpr uint64_t kTableBytes = kSparseSlots * sizeof(uint32_t);
// Past the bucket table (and its spare slot) in the same block: the codes
// of a chunk waiting to be packed (kChunk of them).
constexpr uint32_t kPendingSlot = kSlots + 16;
// A slot holds the string's key (prefix code << 8 | byte) above its code:
// slot ^ (key << 12) is below 4096, the code, exactly when the slot holds
// that string. An empty slot (all ones) matches no key, since the key
// 0xFFFFF (prefix code 4095) never occurs.
constexpr uint32_t kEmpty = 0xFFFFFFFF;
inline uint32_t key_bits(uint32_t prefix, uint32_t byte) { return (prefix << 20) | (byte << 12); }
constexpr uint64_t kGrowth = 1u << 20;
// Input bytes per run without a look at the output's room: each byte adds at
// most one 12-bit code and a clear code, 3 bytes.
constexpr int64_t kChunk = 4096;
constexpr uint64_t kChunkOutput = 3 * kChunk + 16;
static_assert(kPendingSlot * 4 + kChunk * 2 <= kTableBytes);

// Per byte value: a scrambled bucket number spread over the whole table
// (low half) and the byte's part of a key (high half), in one load; and a
// scrambled sparse slot number.
struct ByteHash {
    uint64_t v[256];
    uint32_t sparse[256];
    constexpr ByteHash() : v(), sparse() {
        for (uint32_t c = 0; c < 256; ++c) {
            v[c] = (uint64_t{c << 12} << 32) | code_table::byte_spread(c);
            sparse[c] = ((c + 1) * 0x9E3779B1u) >> (32 - kSparseBits);
        }
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
            // Whether a failed realloc releases the old block is the host's
            // business: freeing it here could free it twice. The caller's tag
            // still holds it if the host kept it.
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
    // code that the next four input bytes last seen after it led to (bits
    // 0-15, in the low bits for a short path to the next step), the table
    // generation (bits 16-31) and those four bytes (bits 32-63). The table
    // only grows between clears, so such a step stays right until the next
    // one; a new generation makes every older step void.
    uint64_t step4[kLastAssigned + 1];
    uint64_t generation = kGeneration;
    // Whether a hint may have been set since the table was last cleared
    // (the branch-free path sets none, so its clears need not wipe them).
    bool hints_used = false;
    static constexpr uint64_t kGeneration = uint64_t{1} << 16;
    // The table's layout, where its present generation started, and whether
    // the hint goes unused (set by the caller).
    bool buckets = false;
    bool without_hint = false;
    const uint8_t* generation_start;
    // Bytes the hint found in the last run<true>.
    int64_t hint_matches = 0;

    Encoder(uint32_t* t, Output& o, const uint8_t* input) : table(t), out(o), generation_start(input) {
        std::memset(table, 0xFF, kTableBytes);
        std::memset(hint, 0, sizeof hint);
        std::memset(step4, 0, sizeof step4);
    }

    // Empties the table once the code after 4093 has been written, at input
    // position ip, and picks the layout for the next generation: buckets
    // for the branch-free path, which goes where the hint does not; but data
    // that filled the table in under 1.5 bytes per string finds little, and
    // the sparse layout lets its branches guess right. Returns whether the
    // layout changed.
    bool clear(const uint8_t* ip) {
        const bool was = buckets;
        buckets = without_hint && ip - generation_start >= (kLastAssigned + 1 - kFirstFree) * 3 / 2;
        generation_start = ip;
        std::memset(table, 0xFF, buckets ? kSlots * sizeof(uint32_t) : kTableBytes);
        if (hints_used) std::memset(hint, 0, sizeof hint);
        hints_used = false;
        generation += kGeneration;
        if (generation >> 32 != 0) {
            // The generations wrapped around: forget every step.
            std::memset(step4, 0, sizeof step4);
            generation = kGeneration;
        }
        return buckets != was;
    }

    // A run keeps the coder's state in locals; this hands it back.
    void save_run(uint8_t* op, uint64_t acc, uint32_t bits, uint32_t c_width, uint32_t c_next, uint32_t c_limit,
                  uint32_t c_cur) {
        out.length = static_cast<uint64_t>(op - out.buffer);
        sink.acc = acc;
        sink.bits = bits;
        width = c_width;
        next = c_next;
        limit = c_limit;
        cur = c_cur;
    }

    // Compresses [ip, end) into at most kChunkOutput bytes that the caller
    // has checked are free short of the point where the buffer grows, with
    // the table in the layout kBuckets. With kHint the hint is tried (and
    // kept up) first, and hint_matches counts the bytes it found. Returns
    // where it stopped: at end, or where a clear changed the layout.
    template <bool kHint, bool kBuckets>
    const uint8_t* run(const uint8_t* ip, const uint8_t* const end) {
        uint32_t* const tab = table;
        uint32_t* const hints = hint;
        hints_used = true;
        hint_matches = 0;
        uint8_t* op = out.buffer + out.length;
        uint64_t acc = sink.acc;
        uint32_t bits = sink.bits;
        uint32_t c_width = width;
        uint32_t c_next = next;
        uint32_t c_limit = limit;
        uint32_t c_cur = cur;
        uint64_t* const steps = step4;
        const uint64_t gen = generation;
        // Where the current run of found bytes started (a code), and its length.
        uint32_t r_start = c_cur;
        uint32_t r_length = 0;
        bool stop = false;
        // Records a found byte; every fourth one of a run makes a step.
        auto found_byte = [&](const uint8_t* after) {
            if (++r_length == 4) {
                uint32_t bytes;
                std::memcpy(&bytes, after - 4, 4);
                steps[r_start] = (uint64_t{bytes} << 32) | gen | c_cur;
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
                    if (((step ^ ((uint64_t{bytes} << 32) | gen)) & ~uint64_t{0xFFFF}) == 0) {
                        c_cur = static_cast<uint16_t>(step);
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
            const uint32_t k = key_bits(c_cur, c);
            // The byte's scrambled part does not wait for the previous
            // lookup, so the chain from one string code to the next is short.
            uint32_t h;
            uint32_t child;
            if constexpr (kBuckets) {
                // (64 bits wide for the load's address, as in the branch-free step.)
                const uint64_t bucket = c_cur ^ static_cast<uint32_t>(kByteHash.v[c]);
                const uint32_t lo = tab[2 * bucket];
                const uint32_t hi = tab[2 * bucket + 1];
                child = (lo ^ k) < 4096 ? lo ^ k : hi ^ k;
                h = static_cast<uint32_t>(2 * bucket) + (lo != kEmpty);
                if (child >= 4096 && hi != kEmpty) [[unlikely]] {
                    // A full bucket without the string: the walk goes on.
                    h = code_table::slot_for<kEmpty>(tab, static_cast<uint32_t>(bucket + 1) & kBucketMask, k);
                    child = tab[h] ^ k;
                }
            } else {
                h = (c_cur << (kSparseBits - 12)) ^ kByteHash.sparse[c];
                uint32_t slot = tab[h];
                while (slot != kEmpty && (slot ^ k) >= 4096) {
                    h = (h + 1) & kSparseMask;
                    slot = tab[h];
                }
                child = slot ^ k;
            }
            if (child < 4096) {
                // (A hint left as it was still names a child of its code.)
                if constexpr (kHint) hints[c_cur] = (child << 8) | c;
                c_cur = child;
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
                // The run stops after this byte: its generation is over (and
                // the layout may change).
                clear(ip);
                stop = true;
            } else {
                tab[h] = k ^ c_next;
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
            if (stop) break;
        }
        save_run(op, acc, bits, c_width, c_next, c_limit, c_cur);
        return ip;
    }

    // Packs n codes of the present width into bytes. Eight bytes always go
    // out; only the whole ones count, which leaves at most 7 bits waiting.
    __attribute__((noinline)) void pack(const uint16_t* codes, uint32_t n) {
        uint8_t* op = out.buffer + out.length;
        uint64_t acc = sink.acc;
        uint32_t bits = sink.bits;
        const uint32_t w = width;
        auto put_bytes = [&] {
            const uint64_t word = __builtin_bswap64(acc << 1 << (63 - bits));
            std::memcpy(op, &word, 8);
            op += bits >> 3;
            bits &= 7;
        };
        put_bytes();
        uint32_t i = 0;
        // Four codes at a time (at most 48 bits over the 7 left).
        for (; i + 4 <= n; i += 4) {
            uint64_t four = codes[i];
            four = (four << w) | codes[i + 1];
            four = (four << w) | codes[i + 2];
            four = (four << w) | codes[i + 3];
            acc = (acc << (4 * w)) | four;
            bits += 4 * w;
            put_bytes();
        }
        for (; i < n; ++i) {
            acc = (acc << w) | codes[i];
            bits += w;
            put_bytes();
        }
        out.length = static_cast<uint64_t>(op - out.buffer);
        sink.acc = acc;
        sink.bits = bits;
    }

    // The same compression without branches on found / not found (the
    // code table's branch-free step). The codes wait in `pending` and are packed
    // into bits apart from the loop, which keeps few values at hand.
    // Keeps neither hints nor steps (those left stay right). Only in the
    // bucket layout; returns as run() does.
    const uint8_t* run_flat(const uint8_t* ip, const uint8_t* const end) {
        uint32_t* const tab = table;
        uint16_t* const pending = reinterpret_cast<uint16_t*>(table + kPendingSlot);
        uint32_t n = 0;
        uint32_t c_next = next;
        uint32_t c_cur = cur;
        // The code count at which more than a plain step happens: a wider
        // code, or (at the last width) a table just filled.
        uint32_t trigger = width < 12 ? limit : kLastAssigned + 2;
        while (ip < end) {
            const uint32_t c = *ip++;
            const uint64_t per_byte = kByteHash.v[c];
            const uint64_t bucket = c_cur ^ static_cast<uint32_t>(per_byte);
            const uint32_t k = (c_cur << 20) | static_cast<uint32_t>(per_byte >> 32);
            pending[n] = static_cast<uint16_t>(c_cur);
            uint32_t miss;
            c_cur = code_table::branch_free_step<kEmpty>(tab, bucket, k, c, 256, c_next, &miss);
            n += miss;
            c_next += miss;
            if (c_next == trigger) [[unlikely]] {
                pack(pending, n);
                n = 0;
                if (c_next == kLastAssigned + 2) {
                    // The miss just taken filled the table (the entry it
                    // wrote goes with the rest): a clear follows its code.
                    sink.put(kClear, width);
                    width = 9;
                    limit = 512;
                    c_next = kFirstFree;
                    // In the other layout the run stops here.
                    if (clear(ip)) break;
                } else {
                    ++width;
                    limit <<= 1;
                }
                trigger = width < 12 ? limit : kLastAssigned + 2;
            }
        }
        pack(pending, n);
        next = c_next;
        cur = c_cur;
        return ip;
    }
};

// Compresses input into out. Returns false when the output could not grow.
bool encode(const uint8_t* input, int32_t input_length, uint32_t* table, Output& out) {
    Encoder e(table, out, input);
    e.sink.put(kClear, e.width);
    if (input == nullptr || input_length == 0) {
        // Nothing to compress: a stream that is a clear and an end code.
        e.sink.put(kEnd, e.width);
        return e.sink.flush(out);
    }
    e.cur = input[0];
    const uint8_t* ip = input + 1;
    const uint8_t* const end = input + input_length;
    // Chunks of input go with the hint while it matches often, and without
    // it (and its upkeep) while it does not, trying it again now and then.
    // Without it, the bucket layout goes the branch-free way.
    bool with_hint = true;
    uint32_t without = 0;
    while (ip < end) {
        const uint8_t* chunk_end = end - ip > kChunk ? ip + kChunk : end;
        if (out.capacity - out.length <= kChunkOutput) {
            // Close to the point where the buffer grows: byte by byte there,
            // so that it grows exactly when it fills.
            if (!e.sink.emit(out)) return false;
            ip = e.buckets ? e.run<true, true>(ip, ip + 1) : e.run<true, false>(ip, ip + 1);
            if (!e.sink.emit(out)) return false;
        } else if (with_hint) {
            const uint8_t* const from = ip;
            ip = e.buckets ? e.run<true, true>(ip, chunk_end) : e.run<true, false>(ip, chunk_end);
            with_hint = e.hint_matches * 2 > ip - from;
            e.without_hint = !with_hint;
        } else {
            ip = e.buckets ? e.run_flat(ip, chunk_end) : e.run<false, false>(ip, chunk_end);
            with_hint = ++without % 32 == 0;
            e.without_hint = true;
        }
    }
    if (!e.sink.emit(out)) return false;
    e.sink.put(e.cur, e.width);
    // Reading that last code, a decoder defines one more entry and may widen
    // before it reads the end code: write the end code the way it will be
    // read. (At 12 bits it never widens, so a nearly full table needs
    // nothing more.)
    e.sink.put(kEnd, e.next == e.limit - 1 ? e.width + 1 : e.width);
    return e.sink.flush(out);
}

}  // namespace

HostStatus KV_LZW_compress(uint32_t tag, const uint8_t* input, int32_t input_length, uint8_t** output,
                           uint32_t* output_length) {
    // Without a place for the result, compressing would only leak the buffer.
    if (output == nullptr) return error_status();

    auto* table = static_cast<uint32_t*>(host_alloc(tag, kTableBytes, module::kTiff, __LINE__));
    Output out{tag, static_cast<uint8_t*>(host_alloc(tag, kGrowth, module::kTiff, __LINE__))};
    if (table == nullptr || out.buffer == nullptr) {
        record_error(module::kTiff, __LINE__, err::kNoMemory);
    } else if (input_length < 0) {
        // Compressing nothing here would lose the caller's data unseen.
        record_error(module::kTiff, __LINE__, err::kBadInputLength, input_length, 0, 0,
                     "input length negative: 2 GiB or more to compress");
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
