// The code table both LZW encoders (GIF and TIFF) search among bytes: 8,192
// buckets of two 32-bit slots (64 KiB), both slots of a bucket checked at
// once; a string goes to the first bucket from its home on with a free slot.
// At most 4,096 strings leave under one bucket in ten full, and only a full
// bucket sends a lookup down a walk (with half as many buckets, photographs
// took that walk four times as often). A slot holds the string's key bits
// above its 12-bit code, or the encoder's empty value, which matches no key:
// slot ^ key is below 4,096, the code, exactly when the slot holds the
// string. Where a string sits does not change the output. One spare slot
// past the buckets takes the branch-free step's stores for strings found.
#pragma once

#include <cstdint>

namespace kv::code_table {

constexpr uint32_t kBucketBits = 13;
constexpr uint32_t kBucketMask = (1u << kBucketBits) - 1;
constexpr uint32_t kSlots = 2u << kBucketBits;
constexpr uint32_t kSpareSlot = kSlots;
constexpr uint32_t kCodeMask = 0xFFF;

// A byte value's scrambled home bucket, spread over the whole table (a
// prefix's code XOR this is the home of the string of prefix and byte).
constexpr uint32_t byte_spread(uint32_t byte) { return ((byte + 1) * 0x9E3779B1u) >> (32 - kBucketBits); }

// The slot where the string with key bits k is, or where it goes: the walk
// from `bucket` to the first bucket that holds it or has a free slot.
template <uint32_t kEmpty>
inline uint32_t slot_for(const uint32_t* table, uint32_t bucket, uint32_t k) {
    for (;;) {
        const uint32_t i = 2 * bucket;
        if (table[i] == kEmpty || (table[i] ^ k) <= kCodeMask) return i;
        if (table[i + 1] == kEmpty || (table[i + 1] ^ k) <= kCodeMask) return i + 1;
        bucket = (bucket + 1) & kBucketMask;
    }
}

// One byte of the branch-free loops, which do the work of both outcomes
// with conditional moves: in photographs strings end after one, two or
// three bytes in no pattern a predictor could learn, and a wrong guess costs
// more than the work. The string with key bits k (home `bucket`) ending in
// `byte`: returns the new prefix, the string's code when the table holds it
// and else the byte itself (codes of strings are `first_code` and above,
// bytes below). *miss is 1 when the string was not there; it then gets
// `next_code` in its slot.
template <uint32_t kEmpty>
[[gnu::always_inline]] inline uint32_t branch_free_step(uint32_t* table, uint64_t bucket, uint32_t k, uint32_t byte,
                                                        uint32_t first_code, uint32_t next_code, uint32_t* miss_out) {
    // 64 bits wide: in 32, 2 * bucket could wrap, and the compiler would
    // work it out apart from the load's address, a cycle more on the path
    // from one byte to the next.
    const uint32_t lo = table[2 * bucket];
    const uint32_t hi = table[2 * bucket + 1];
    const uint32_t x_lo = lo ^ k;
    const uint32_t x_hi = hi ^ k;
    uint32_t next_prefix = x_hi <= kCodeMask ? x_hi : byte;
    next_prefix = x_lo <= kCodeMask ? x_lo : next_prefix;
    uint32_t miss = (next_prefix - first_code) >> 31;
    // Slots fill low one first: a free one is the high one only when the
    // low one is taken.
    uint64_t at = 2 * bucket + (lo != kEmpty);
    // The asm statements hide from the compiler what the tests tell, which
    // it would otherwise turn into branches.
    uint32_t on = miss & (hi != kEmpty);
    asm("" : "+r"(on));
    if (on) [[unlikely]] {
        // A full bucket without the string: the walk goes on.
        at = slot_for<kEmpty>(table, static_cast<uint32_t>(bucket + 1) & kBucketMask, k);
        if (table[at] != kEmpty) {
            next_prefix = table[at] ^ k;
            miss = 0;
        }
    }
    asm("" : "+r"(miss));
    table[miss ? at : kSpareSlot] = k | next_code;
    *miss_out = miss;
    return next_prefix;
}

}  // namespace kv::code_table
