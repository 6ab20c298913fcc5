// The decoder is a state machine over one plain struct. It never holds the
// image: decoded bytes go into a window that keeps the row being filled and
// the output just before it, and each finished row goes to the host at once.
// A code whose string still lies in the window is copied from there; older
// strings are walked along their prefix chain.
#include "gif/gif_decoder.h"

#include "frame/service_table.h"

#include <cstring>

namespace kv {
namespace {

constexpr uint32_t kTableSize = 4096;
constexpr uint16_t kRootPrefix = 0xFFFE;
constexpr uint16_t kUndefined = 0xFFFF;
constexpr int32_t kErrRead = -2100;
constexpr int32_t kErrCode = -2391;
// Room past the output for the longest string plus the overshoot of the
// 16-byte copies.
constexpr uint32_t kSlack = kTableSize + 32;
// The window keeps at least this much output behind the row being filled.
constexpr uint32_t kHistory = 65536;

// How the data ended.
enum class Ending {
    kNone,
    kEndCode,     // the end code arrived
    kBroken,      // a failed or short read, or a broken or looping chain
    kTerminator,  // a zero-length sub-block before the end code
    kBadCode,     // a code above the next code
    kAllRows,     // every row delivered
    kHostRefused  // IO_raster_set failed: stop at once
};

// One code's entry, sixteen bytes so that a code costs one load: the first
// eight bytes of its string (all of a shorter one, first byte lowest), the
// string's length (0 marks a chain that loops), its prefix code and the
// output offset where the string was written. Suffixes live apart, read
// only by strings longer than eight bytes that have left the window.
struct Entry {
    uint64_t head;
    uint16_t length;
    uint16_t prefix;
    uint32_t offset;
};

constexpr uint32_t kHeadBytes = 8;

// Writes a head's eight bytes, first byte first.
inline void store_head(uint8_t* out, uint64_t head) { std::memcpy(out, &head, 8); }

// Copies n bytes in 16-byte steps; up to 15 bytes past both ends are read
// and written, and the source ends at or before the destination. A step's
// source may run into its own destination (a string written just before),
// so each step is loaded whole before it is stored: only bytes past n are
// taken from the overlap, and those are written over later.
inline void copy_forward(uint8_t* out, const uint8_t* from, uint32_t n) {
    for (uint32_t i = 0; i < n; i += 16) {
        uint8_t step[16];
        std::memcpy(step, from + i, 16);
        std::memcpy(out + i, step, 16);
    }
}

// The code table: entries and suffixes.
struct Table {
    Entry entries[kTableSize];
    uint8_t suffix[kTableSize];
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
    uint8_t* row;  // obtained with the others; rows are delivered from the window
    uint8_t* window;
    // Obtained with the others, but never written or read: the code table
    // proper is the decoding loop's own, on its stack (see Table).
    uint16_t* prefix;
    uint8_t* suffix;
    uint8_t* first;
    uint32_t window_size;
    // Output offset of window[0]; an image holds fewer than 2^32 pixels.
    uint32_t base;
    // LZW state at the start (run() keeps the running state in locals).
    uint32_t min_code_size;
    uint32_t clear_code;
    uint32_t end_code;
    uint32_t code_width;
    // Current data sub-block.
    uint8_t block[256];
    uint32_t block_length;
    // Rows.
    uint32_t rows_delivered;
    int64_t row_number;
    int64_t row_step;
    uint32_t pass;
};

// The 256 roots as a table starts, made once: an image of a few hundred
// codes would otherwise spend a tenth of its decoding building them.
struct Roots {
    Entry entries[256];
    uint8_t suffix[256];
    constexpr Roots() : entries(), suffix() {
        for (uint32_t c = 0; c < 256; ++c) {
            entries[c] = Entry{c, 1, kRootPrefix, 0};
            suffix[c] = static_cast<uint8_t>(c);
        }
    }
};
constexpr Roots kRoots;

// Only the roots need values: every other entry is written when it is
// defined, before anything reads it.
void fill_roots(Table& t, uint32_t clear_code) {
    std::memcpy(t.entries, kRoots.entries, clear_code * sizeof(Entry));
    std::memcpy(t.suffix, kRoots.suffix, clear_code);
}

// The window: the whole image when it is small, else room for the history,
// the row being filled and the longest string.
uint32_t window_size_for(uint32_t width, uint32_t height) {
    const uint64_t whole = uint64_t{width} * height + kSlack;
    const uint64_t sliding = 2 * uint64_t{width > kHistory ? width : kHistory} + kSlack;
    return static_cast<uint32_t>(whole < sliding ? whole : sliding);
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

// Delivers a finished row; false when the host refuses it.
bool deliver_row(Decoder& d, const uint8_t* row) {
    const int64_t number = advance_row(d);
    HostStatus status;
    if (d.depth == 1) {
        std::memset(d.packed_row, 0, d.packed_size);
        const uint32_t whole = d.width & ~7u;
        uint32_t i = 0;
        for (; i < whole; i += 8) {
            const uint8_t* p = row + i;
            d.packed_row[i >> 3] = static_cast<uint8_t>((p[0] << 7) | (p[1] << 6) | (p[2] << 5) | (p[3] << 4) |
                                                        (p[4] << 3) | (p[5] << 2) | (p[6] << 1) | p[7]);
        }
        for (; i < d.width; ++i) d.packed_row[i >> 3] |= static_cast<uint8_t>(row[i] << (7 - (i & 7)));
        status = g_host.IO_raster_set(d.stream, d.packed_row, number, d.raster_size);
    } else {
        // One byte per pixel whatever the depth of the description.
        status = g_host.IO_raster_set(d.stream, row, number, d.width);
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

// Writes the n bytes (n > 8, exact) of a code's string that has left the
// window, walking its chain backwards down to its eight-byte ancestor.
[[gnu::noinline]] void walk_string(const Table& t, uint32_t code, uint32_t n, uint8_t* out) {
    uint32_t c = code;
    for (uint8_t* p = out + n - 1; p != out + kHeadBytes - 1; --p) {
        *p = t.suffix[c];
        c = t.entries[c].prefix;
    }
    store_head(out, t.entries[c].head);
}

// Moves what the window must keep (the history and the row being filled)
// to its start; returns how far everything moved.
[[gnu::noinline]] size_t slide_window(Decoder& d, const uint8_t* out, const uint8_t* row_start) {
    const uint8_t* keep = out - d.window > kHistory ? out - kHistory : d.window;
    if (row_start < keep) keep = row_start;
    std::memmove(d.window, keep, static_cast<size_t>(out - keep));
    const size_t moved = static_cast<size_t>(keep - d.window);
    d.base += static_cast<uint32_t>(moved);
    return moved;
}

// Decodes codes into rows until the data ends or every row is delivered.
// The running state lives in locals: the output and table stores are byte
// stores, which could alias any member of the struct.
[[gnu::noinline]] Ending run(Decoder& d) {
    // The table on this frame, so that it costs no register.
    Table t;
    fill_roots(t, d.clear_code);
    Entry* const entries = t.entries;
    uint8_t* const window = d.window;
    const uint32_t width = d.width;
    // A row starting past this point leaves too little room behind it for
    // the row and the longest string.
    const uint8_t* const last_row_start = window + d.window_size - kSlack - width;

    uint64_t bits = 0;  // filled from the least significant end
    uint32_t bit_count = 0;
    uint32_t code_width = d.code_width;
    uint32_t mask = (1u << code_width) - 1;
    // One past the next code (the code the next entry gets; codes below it
    // are defined), or 0 until the first code after a clear, so that one
    // test finds both that code and codes past the table. Once entry 4095
    // is defined the next code is 4096: the table is full.
    uint32_t limit = 0;
    uint32_t previous = 0;
    // The string of `previous`: its head and length. It was written just
    // before the present output position.
    uint64_t last_head = 0;
    uint32_t last_length = 0;
    const uint8_t* in = d.block;
    const uint8_t* in_end = d.block;
    uint8_t* out = window;
    uint8_t* row_end = window + width;
    // out - origin is the output offset of out.
    uintptr_t origin = reinterpret_cast<uintptr_t>(window);

    for (;;) {
        // Deliver the rows that the last string completed; the window moves
        // when the next row would start too near its end.
        while (out >= row_end) [[unlikely]] {
            if (!deliver_row(d, row_end - width)) return Ending::kHostRefused;
            if (d.rows_delivered == d.height) return Ending::kAllRows;
            if (row_end > last_row_start) {
                const size_t moved = slide_window(d, out, row_end);
                out -= moved;
                row_end -= moved;
                origin -= moved;
            }
            row_end += width;
        }
        // Fetch one code. A new sub-block is read only when the bits held
        // are too few, so the stream is never read ahead.
        if (bit_count < code_width) {
            do {
                if (in == in_end) {
                    const Ending ending = read_block(d);
                    if (ending != Ending::kNone) return ending;
                    in = d.block;
                    in_end = d.block + d.block_length;
                }
                if (in_end - in >= 8) {
                    // Eight bytes at once; bits past the bytes counted are
                    // the stream's next bits, so a later refill ORs the
                    // same values into them.
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
        const uint32_t here = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(out) - origin);

        // Clear and end codes, codes past the table and the first code
        // after a clear are rare; every other code takes one path.
        if (code - d.clear_code < 2 || code >= limit) [[unlikely]] {
            const uint32_t clear_code = d.clear_code;
            if (code == clear_code + 1) return Ending::kEndCode;
            const uint32_t next = limit == 0 ? clear_code + 2 : limit - 1;
            if (code > next) {
                record_error(module::kGifRead, __LINE__, kErrCode, 0, code, next);
                return Ending::kBadCode;
            }
            if (code == clear_code) {
                code_width = d.min_code_size + 1;
                mask = (1u << code_width) - 1;
                // Entries from the next code on keep their old values:
                // nothing reads one before it is defined again.
                limit = 0;
                continue;
            }
            // The first code after a clear. Only a root has a string; the
            // next code taken as the first code leaves an entry whose chain
            // loops, marked by length 0.
            if (code >= clear_code) entries[code] = Entry{0, 0, kUndefined, 0};
            *out++ = static_cast<uint8_t>(code);
            previous = code;
            last_head = entries[code].head;
            last_length = entries[code].length;
            limit = next + 1;
            continue;
        }
        // The new entry is the previous string plus the first byte of this
        // one, and it stands in the output where the previous string
        // starts; a code not yet defined (the next code) is the previous
        // string plus its own first byte. A full table takes no more
        // entries: once entry 4095 is defined it keeps its string until the
        // next clear code, as encoders that defer the clear expect.
        const uint32_t next = limit - 1;
        const bool undefined = code == next;
        if (next < kTableSize) {
            const uint64_t source_head = undefined ? last_head : entries[code].head;
            const uint64_t byte = source_head & 0xFF;
            const uint32_t n = last_length;
            // A byte past the eighth falls off the head.
            Entry added;
            added.head = last_head | (n < kHeadBytes ? byte << (8 * n) : 0);
            added.length = static_cast<uint16_t>(n + (n != 0));
            added.prefix = static_cast<uint16_t>(previous);
            // (After a first code whose entry has length 0 this is a byte
            // off, but an entry of length 0 is never copied.)
            added.offset = here - n;
            entries[next] = added;
            t.suffix[next] = static_cast<uint8_t>(byte);
            if (++limit == mask + 2 && code_width < 12) {
                ++code_width;
                mask = mask * 2 + 1;
            }
        }
        previous = code;
        const Entry current = entries[code];
        last_head = current.head;
        last_length = current.length;

        // Strings of up to eight bytes are copied whole from their head
        // (the window has room past the output for the overshoot). A
        // non-zero length is exact: every entry is defined from a previous
        // code of the same table generation, so its chain reaches a root in
        // exactly that many steps. Length 0 marks a chain that loops or
        // breaks, which ends the data.
        const uint32_t n = last_length;
        if (n - 1 < kHeadBytes) {
            store_head(out, last_head);
            out += n;
            continue;
        }
        if (n == 0) return Ending::kBroken;
        const uint32_t from = current.offset - d.base;
        if (from < static_cast<uint32_t>(out - window)) {
            if (undefined) {
                // The previous string, which ends where this one starts,
                // then its first byte.
                copy_forward(out, window + from, n - 1);
                out[n - 1] = out[0];
            } else {
                copy_forward(out, window + from, n);
            }
        } else {
            walk_string(t, code, n, out);
        }
        out += n;
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
    d.window_size = window_size_for(d.width, d.height);

    const char* m = module::kGifRead;
    // Packing writes (width + 7) / 8 bytes, whatever raster size the host gives.
    d.packed_size = d.depth == 1 && d.raster_size < (d.width + 7) / 8 ? (d.width + 7) / 8 : d.raster_size;
    d.packed_row = static_cast<uint8_t*>(host_alloc(tag, d.packed_size, m, __LINE__));
    d.row = d.packed_row ? static_cast<uint8_t*>(host_alloc(tag, d.width, m, __LINE__)) : nullptr;
    d.window = d.row ? static_cast<uint8_t*>(host_alloc(tag, d.window_size, m, __LINE__)) : nullptr;
    d.prefix = d.window ? static_cast<uint16_t*>(host_alloc(tag, kTableSize * 2, m, __LINE__)) : nullptr;
    d.suffix = d.prefix ? static_cast<uint8_t*>(host_alloc(tag, kTableSize, m, __LINE__)) : nullptr;
    d.first = d.suffix ? static_cast<uint8_t*>(host_alloc(tag, kTableSize, m, __LINE__)) : nullptr;

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
        d.code_width = d.min_code_size + 1;
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
    host_free(tag, d.window, m, __LINE__);
    host_free(tag, d.row, m, __LINE__);
    host_free(tag, d.packed_row, m, __LINE__);
    return error_status();
}

}  // namespace kv
