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
constexpr uint32_t kSlots = 8192;
constexpr uint32_t kSlotMask = kSlots - 1;
constexpr uint32_t kKeyMask = 0xFFFFF;
constexpr uint64_t kGrowth = 1u << 20;

// The compressed bytes, in a host block grown 1 MiB at a time.
struct Output {
    uint32_t tag;
    uint8_t* buffer;
    uint64_t length = 0;
    uint64_t capacity = kGrowth;
    bool failed = false;

    // Grows the buffer as soon as it is full, also after the very last byte.
    bool grow() {
        void* grown = g_host.AF_memm_realloc(tag, buffer, length + kGrowth, module::kTiff, __LINE__);
        if (grown == nullptr) {
            // The host leaves the old block in place on failure; nobody would
            // hold a pointer to it any more, so it goes now.
            host_free(tag, buffer, module::kTiff, __LINE__);
            buffer = nullptr;
            failed = true;
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

// Bits waiting to become bytes, most significant first.
struct BitSink {
    uint64_t acc = 0;
    uint32_t bits = 0;

    void put(uint32_t code, uint32_t width) {
        acc = (acc << width) | code;
        bits += width;
    }
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

// Compresses input into out. Returns false when the output could not grow.
bool encode(const uint8_t* input, int32_t input_length, uint32_t* table, Output& out) {
    std::memset(table, 0, kSlots * sizeof(uint32_t));
    BitSink sink;
    uint32_t width = 9;
    sink.put(kClear, width);
    if (input == nullptr || input_length <= 0) {
        // Nothing to compress: a stream that is a clear and an end code.
        sink.put(kEnd, width);
        return sink.flush(out);
    }

    uint32_t next = kFirstFree;
    uint32_t limit = 512;
    uint32_t cur = input[0];
    const uint8_t* ip = input + 1;
    const uint8_t* const end = input + input_length;
    while (ip < end) {
        const uint32_t c = *ip++;
        const uint32_t key = (cur << 8) | c;
        uint32_t h = ((key >> 7) ^ key) & kSlotMask;
        uint32_t slot;
        while ((slot = table[h]) != 0) {
            if ((slot & kKeyMask) == key) break;
            h = (h + 1) & kSlotMask;
        }
        if (slot != 0) {
            cur = slot >> 20;
            continue;
        }
        sink.put(cur, width);
        if (next == kLastAssigned + 1) {
            sink.put(kClear, width);
            width = 9;
            limit = 512;
            next = kFirstFree;
            std::memset(table, 0, kSlots * sizeof(uint32_t));
        } else {
            table[h] = (next << 20) | key;
            if (next == limit - 1) {
                ++width;
                limit <<= 1;
            }
            ++next;
        }
        if (!sink.emit(out)) return false;
        cur = c;
    }
    sink.put(cur, width);
    sink.put(kEnd, width);
    return sink.flush(out);
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
