// The decoder is a state machine over one plain struct. It holds one row and
// the code table, never the image: each finished row goes to the host at
// once.
#include "gif/gif_decoder.h"

#include "frame/service_table.h"

#include <cstring>

namespace kv {
namespace {

constexpr uint32_t kTableSize = 4096;
constexpr uint16_t kRootPrefix = 0xFFFE;
constexpr uint16_t kUndefined = 0xFFFF;
constexpr uint32_t kNoCode = 0xFFFFFFFF;
constexpr int32_t kErrRead = -2100;
constexpr int32_t kErrCode = -2391;

// How the data ended.
enum class Ending {
    kNone,
    kEndCode,     // the end code arrived
    kBroken,      // a failed or short read, or a broken or overlong chain
    kTerminator,  // a zero-length sub-block before the end code
    kBadCode,     // a code above the next code
    kAllRows,     // every row delivered
    kHostRefused  // IO_raster_set failed: stop at once
};

struct Decoder {
    HostStream* stream;
    // Geometry.
    uint32_t width;
    uint32_t height;
    uint32_t depth;
    uint32_t raster_size;
    uint32_t packed_size;  // of the packed row buffer
    bool interlaced;
    // The six buffers, in the order they are obtained.
    uint8_t* packed_row;
    uint8_t* row;
    uint8_t* stack;
    uint16_t* prefix;
    uint8_t* suffix;
    // Obtained with the others, but never written or read: `head` holds
    // every entry's first byte.
    uint8_t* first;
    // Tables of the call's own, on its stack: each code's string length,
    // and its first four bytes (all of a shorter string), first byte lowest.
    uint16_t* length;
    uint32_t* head;
    uint32_t stack_size;
    // LZW state at the start (run() keeps the running state in locals).
    uint32_t min_code_size;
    uint32_t clear_code;
    uint32_t end_code;
    uint32_t code_width;
    uint32_t limit;
    uint32_t next_code;
    uint32_t previous;
    // Current data sub-block.
    uint8_t block[256];
    uint32_t block_length;
    // Rows. The stack grows downward: a pending string is stack[sp..stack_size).
    uint32_t rows_delivered;
    int64_t row_number;
    int64_t row_step;
    uint32_t pass;
};

void reset_table(Decoder& d) {
    d.code_width = d.min_code_size + 1;
    d.limit = 1u << d.code_width;
    d.next_code = d.clear_code + 2;
    for (uint32_t c = d.clear_code; c < kTableSize; ++c) d.prefix[c] = kUndefined;
    d.previous = kNoCode;
}

// Reads the next data sub-block. kNone when bytes are available.
Ending read_block(Decoder& d) {
    uint8_t length = 0;
    if (g_host.IO_byte_read(d.stream, &length) != 1) return Ending::kBroken;
    if (length == 0) return Ending::kTerminator;
    if (g_host.IO_read(d.stream, d.block, length) != length) return Ending::kBroken;
    d.block_length = length;
    return Ending::kNone;
}

// The row number of the next row to deliver.
int64_t advance_row(Decoder& d) {
    if (!d.interlaced) return d.rows_delivered;
    d.row_number += d.row_step;
    while (d.row_number >= d.height && d.pass < 3) {
        ++d.pass;
        static constexpr int64_t kStart[4] = {0, 4, 2, 1};
        static constexpr int64_t kStep[4] = {8, 8, 4, 2};
        d.row_number = kStart[d.pass];
        d.row_step = kStep[d.pass];
    }
    return d.row_number;
}

// Delivers the finished row; false when the host refuses it.
bool deliver_row(Decoder& d) {
    const int64_t number = advance_row(d);
    HostStatus status;
    if (d.depth == 1) {
        std::memset(d.packed_row, 0, d.packed_size);
        const uint32_t whole = d.width & ~7u;
        uint32_t i = 0;
        for (; i < whole; i += 8) {
            const uint8_t* p = d.row + i;
            d.packed_row[i >> 3] = static_cast<uint8_t>((p[0] << 7) | (p[1] << 6) | (p[2] << 5) | (p[3] << 4) |
                                                        (p[4] << 3) | (p[5] << 2) | (p[6] << 1) | p[7]);
        }
        for (; i < d.width; ++i) d.packed_row[i >> 3] |= static_cast<uint8_t>(d.row[i] << (7 - (i & 7)));
        status = g_host.IO_raster_set(d.stream, d.packed_row, number, d.raster_size);
    } else {
        // One byte per pixel whatever the depth of the description.
        status = g_host.IO_raster_set(d.stream, d.row, number, d.width);
    }
    ++d.rows_delivered;
    return status == 0;
}

// Every row not yet delivered arrives as zero bytes, in the running order.
void deliver_zero_rows(Decoder& d) {
    std::memset(d.packed_row, 0, d.packed_size);
    while (d.rows_delivered < d.height && d.pass <= 3) {
        const int64_t number = advance_row(d);
        g_host.IO_raster_set(d.stream, d.packed_row, number, d.raster_size);
        ++d.rows_delivered;
    }
}

// Skips sub-blocks up to the terminator, or until one cannot be read.
void drain(Decoder& d) {
    for (;;) {
        uint8_t length = 0;
        if (g_host.IO_byte_read(d.stream, &length) != 1 || length == 0) return;
        if (g_host.IO_read(d.stream, d.block, length) != length) return;
    }
}

constexpr uint32_t kBrokenChain = 0xFFFFFFFF;

// Writes the string of a code that does not fit the rest of the row onto
// the stack, last byte first. Returns the stack position of its first byte,
// or kBrokenChain for a chain that is broken or runs past the stack.
[[gnu::noinline]] uint32_t push_string(const Decoder& d, uint32_t c) {
    uint32_t sp = d.stack_size;
    for (;;) {
        if (sp == 0) return kBrokenChain;
        d.stack[--sp] = d.suffix[c];
        const uint16_t p = d.prefix[c];
        if (p == kRootPrefix) return sp;
        if (p == kUndefined) return kBrokenChain;
        c = p;
    }
}

// Decodes codes into rows until the data ends or every row is delivered.
// The running state lives in locals: the row and table stores are byte
// stores, which could alias any member of the struct.
Ending run(Decoder& d) {
    uint8_t* const row = d.row;
    uint8_t* const row_end = d.row + d.width;
    uint16_t* const prefix = d.prefix;
    uint8_t* const suffix = d.suffix;
    uint16_t* const length = d.length;
    uint32_t* const head = d.head;
    const uint32_t clear_code = d.clear_code;

    uint64_t bits = 0;  // filled from the least significant end
    uint32_t bit_count = 0;
    uint32_t code_width = d.code_width;
    uint32_t mask = d.limit - 1;
    uint32_t next = d.next_code;
    uint32_t previous = d.previous;
    const uint8_t* in = d.block;
    const uint8_t* in_end = d.block;
    uint8_t* out = row;
    uint32_t sp = d.stack_size;  // bytes left from the last string: stack[sp..stack_size)

    for (;;) {
        // Fill the row: leftovers of the last string first, then new codes.
        while (out < row_end) {
            if (sp < d.stack_size) {
                size_t n = d.stack_size - sp;
                if (n > static_cast<size_t>(row_end - out)) n = row_end - out;
                std::memcpy(out, d.stack + sp, n);
                sp += static_cast<uint32_t>(n);
                out += n;
                continue;
            }
            // Fetch one code. A new sub-block is read only when the bits
            // held are too few, so the stream is never read ahead.
            if (bit_count < code_width) {
                do {
                    if (in == in_end) {
                        const Ending ending = read_block(d);
                        if (ending != Ending::kNone) return ending;
                        in = d.block;
                        in_end = d.block + d.block_length;
                    }
                    if (in_end - in >= 8) {
                        // Eight bytes at once; bits past the bytes counted
                        // are the stream's next bits, so a later refill ORs
                        // the same values into them.
                        uint64_t word;
                        std::memcpy(&word, in, 8);
                        bits |= word << bit_count;
                        in += (63 - bit_count) >> 3;
                        bit_count |= 56;
                    } else {
                        while (bit_count <= 56 && in < in_end) {
                            bits |= static_cast<uint64_t>(*in++) << bit_count;
                            bit_count += 8;
                        }
                    }
                } while (bit_count < code_width);
            }
            const uint32_t code = static_cast<uint32_t>(bits) & mask;
            bits >>= code_width;
            bit_count -= code_width;

            // Clear and end codes, codes past the table and the first code
            // after a clear are rare; every other code takes one path.
            if (code - clear_code < 2 || code > next || previous == kNoCode) [[unlikely]] {
                if (code == clear_code + 1) return Ending::kEndCode;
                if (code > next) {
                    record_error(module::kGifRead, __LINE__, kErrCode, 0, code, next);
                    return Ending::kBadCode;
                }
                if (code == clear_code) {
                    code_width = d.min_code_size + 1;
                    mask = (1u << code_width) - 1;
                    // Entries are defined only at `next`, so only those up to
                    // it need undefining: data made of clear codes then costs
                    // time in proportion to its bytes, not 4096 steps a code.
                    const uint32_t last_defined = next < kTableSize ? next : kTableSize - 1;
                    for (uint32_t c = clear_code; c <= last_defined; ++c) prefix[c] = kUndefined;
                    next = clear_code + 2;
                    previous = kNoCode;
                    continue;
                }
                // Only a root has a string; the next code taken as the first
                // code leaves an entry whose chain loops, marked by length 0.
                if (code >= clear_code) {
                    length[code] = 0;
                    head[code] = 0;
                }
                *out++ = static_cast<uint8_t>(code);
                previous = code;
                continue;
            }
            // The new entry is the previous string plus the first byte of
            // this one; a code not yet defined (the next code) is the
            // previous string plus its own first byte. A full table takes
            // no more entries: once entry 4095 is defined it keeps its
            // string until the next clear code, as encoders that defer the
            // clear expect.
            if (prefix[next] == kUndefined) {
                const uint32_t previous_head = head[previous];
                const uint8_t byte =
                    static_cast<uint8_t>(prefix[code] != kUndefined ? head[code] : previous_head);
                suffix[next] = byte;
                prefix[next] = static_cast<uint16_t>(previous);
                const uint32_t n = length[previous];
                length[next] = static_cast<uint16_t>(n + (n != 0));
                head[next] = n < 4 ? previous_head | (uint32_t{byte} << (8 * n)) : previous_head;
            }
            if (next < kTableSize - 1 && ++next == mask + 1) {
                ++code_width;
                mask = mask * 2 + 1;
            }
            previous = code;

            // Strings of up to four bytes are copied whole from their head.
            // Longer ones are written backwards, straight into the row when
            // they fit. A non-zero length is exact: every entry is defined
            // from a previous code of the same table generation, so its
            // chain reaches a root in exactly that many steps. Length 0
            // marks a chain that loops; the stack walk bounds it.
            const uint32_t n = length[code];
            const size_t room = static_cast<size_t>(row_end - out);
            if (n - 1 < 4 && room >= 4) {
                std::memcpy(out, &head[code], 4);
                out += n;
                continue;
            }
            if (n != 0) {
                // The bytes past the row wait on the stack for the next row.
                uint32_t c = code;
                uint8_t* p = out + n - 1;
                if (n > room) {
                    uint8_t* q = d.stack + d.stack_size - 1;
                    sp = d.stack_size - (n - static_cast<uint32_t>(room));
                    for (uint32_t i = n - static_cast<uint32_t>(room); i != 0; --i) {
                        *q-- = suffix[c];
                        c = prefix[c];
                    }
                    p = row_end - 1;
                }
                while (p != out) {
                    *p-- = suffix[c];
                    c = prefix[c];
                }
                *p = suffix[c];
                out = p + (n > room ? room : n);
                continue;
            }
            sp = push_string(d, code);
            if (sp == kBrokenChain) return Ending::kBroken;
        }
        if (!deliver_row(d)) return Ending::kHostRefused;
        out = row;
        if (d.rows_delivered == d.height) return Ending::kAllRows;
    }
}

}  // namespace

HostStatus gif_decode_image_data(HostStream* stream, uint32_t tag, const void* settings, HostDibInfo* dib) {
    Decoder d{};
    d.stream = stream;
    const int64_t height = g_host.DIB_height_get(dib);
    const int64_t width = g_host.DIB_width_get(dib);
    d.height = height > 0 ? static_cast<uint32_t>(height) : 0;
    d.width = width > 0 ? static_cast<uint32_t>(width) : 0;
    d.depth = g_host.DIB_bit_depth_get(dib);
    d.raster_size = d.depth == 1 ? g_host.DIB1bit_packed_raster_size_get(dib, 0) : g_host.DIBStd_raster_size_get(dib, 0);
    d.interlaced = static_cast<const GifSettings*>(settings)->interlace != 0;
    d.stack_size = d.width > kTableSize ? d.width : kTableSize;

    const char* m = module::kGifRead;
    // Packing writes (width + 7) / 8 bytes, whatever raster size the host gives.
    d.packed_size = d.depth == 1 && d.raster_size < (d.width + 7) / 8 ? (d.width + 7) / 8 : d.raster_size;
    d.packed_row = static_cast<uint8_t*>(host_alloc(tag, d.packed_size, m, __LINE__));
    d.row = d.packed_row ? static_cast<uint8_t*>(host_alloc(tag, d.width, m, __LINE__)) : nullptr;
    d.stack = d.row ? static_cast<uint8_t*>(host_alloc(tag, d.stack_size, m, __LINE__)) : nullptr;
    d.prefix = d.stack ? static_cast<uint16_t*>(host_alloc(tag, kTableSize * 2, m, __LINE__)) : nullptr;
    d.suffix = d.prefix ? static_cast<uint8_t*>(host_alloc(tag, kTableSize, m, __LINE__)) : nullptr;
    d.first = d.suffix ? static_cast<uint8_t*>(host_alloc(tag, kTableSize, m, __LINE__)) : nullptr;

    uint16_t lengths[kTableSize];
    uint32_t heads[kTableSize];
    uint8_t size_byte = 0;
    if (d.first == nullptr) {
        record_error(m, __LINE__, err::kNoMemory);
    } else if (g_host.IO_byte_read(stream, &size_byte) != 1) {
        record_error(m, __LINE__, kErrRead, 0, g_host.IO_tell(stream));
    } else if (size_byte > 8) {
        record_error(m, __LINE__, kErrCode, 0, size_byte);
    } else {
        d.min_code_size = size_byte;
        d.clear_code = 1u << size_byte;
        d.end_code = d.clear_code + 1;
        // Only the roots need values here: every other entry is written
        // when it is defined, before anything reads it.
        d.length = lengths;
        d.head = heads;
        for (uint32_t c = 0; c < d.clear_code; ++c) {
            d.prefix[c] = kRootPrefix;
            d.suffix[c] = static_cast<uint8_t>(c);
            lengths[c] = 1;
            heads[c] = c;
        }
        reset_table(d);
        d.row_number = -8;
        d.row_step = 8;

        const Ending ending = d.height == 0 ? Ending::kAllRows : run(d);
        switch (ending) {
            case Ending::kEndCode:
            case Ending::kBroken:
            case Ending::kBadCode:
                deliver_zero_rows(d);
                drain(d);
                break;
            case Ending::kTerminator: deliver_zero_rows(d); break;
            case Ending::kAllRows: drain(d); break;
            case Ending::kHostRefused:
            case Ending::kNone: break;
        }
    }

    host_free(tag, d.first, m, __LINE__);
    host_free(tag, d.suffix, m, __LINE__);
    host_free(tag, d.prefix, m, __LINE__);
    host_free(tag, d.stack, m, __LINE__);
    host_free(tag, d.row, m, __LINE__);
    host_free(tag, d.packed_row, m, __LINE__);
    return error_status();
}

}  // namespace kv
