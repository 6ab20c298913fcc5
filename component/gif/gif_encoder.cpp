// The GIF LZW encoder: variable-width codes packed least significant bit
// first into data sub-blocks of at most 255 bytes.
#include "frame/service_table.h"
#include "gif/gif_writer.h"

#include <cstring>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;

constexpr uint32_t kTableSlots = 8192;
constexpr uint32_t kSlotMask = kTableSlots - 1;
constexpr uint32_t kKeyMask = 0xFFFFF;
constexpr uint32_t kMaxCode = 4096;
constexpr uint32_t kFullBlock = 255;

// Collects the code stream and hands it to the stream one full sub-block at a time.
struct CodeSink {
    HostStream* stream;
    uint64_t bits = 0;  // pending bits, least significant first
    uint32_t bit_count = 0;
    uint32_t count = 0;  // data bytes in block[1..]
    bool write_failed = false;
    uint8_t block[kFullBlock + 2] = {};

    void emit(uint32_t code, uint32_t width) {
        bits |= uint64_t{code} << bit_count;
        bit_count += width;
    }

    void flush_whole_bytes() {
        while (bit_count >= 8) {
            block[1 + count++] = static_cast<uint8_t>(bits);
            bits >>= 8;
            bit_count -= 8;
            if (count == kFullBlock) write_full_block();
        }
    }

    void write_full_block() {
        block[0] = kFullBlock;
        if (g_host.IO_write(stream, block, kFullBlock + 1) != kFullBlock + 1) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort, 0, 0, kFullBlock + 1);
            write_failed = true;
        }
        count = 0;
    }

    // The left-over bits as one more byte, the last sub-block and the
    // terminator in one write, checked like every other block.
    void finish() {
        flush_whole_bytes();
        if (bit_count > 0) block[1 + count++] = static_cast<uint8_t>(bits);
        bit_count = 0;
        uint64_t size = 1;
        if (count > 0) {
            block[0] = static_cast<uint8_t>(count);
            block[count + 1] = 0;
            size = count + 2;
        } else {
            block[0] = 0;
        }
        if (g_host.IO_write(stream, block, size) != size) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort, 0, 0, static_cast<int64_t>(size));
        }
    }
};

// Code state of one image; the table maps (prefix << 8 | pixel) to a code.
struct CodeState {
    uint32_t* table;
    uint32_t min_size;
    uint32_t clear;
    uint32_t first_free;
    uint32_t next = 0;
    uint32_t width = 0;
    uint32_t threshold = 0;

    void reset() {
        next = first_free;
        width = min_size + 1;
        threshold = 1u << width;
        std::memset(table, 0, kTableSlots * sizeof(uint32_t));
    }

    // A key not in the table: its prefix goes out, and the string is
    // assigned the next code, or the table starts again when it is full.
    void add_absent(CodeSink& sink, uint32_t prefix, uint32_t key, uint32_t slot) {
        sink.emit(prefix, width);
        if (next == kMaxCode) {
            sink.emit(clear, width);
            reset();
        } else {
            table[slot] = (next << 20) | key;
            if (next == threshold) {
                ++width;
                threshold <<= 1;
            }
            ++next;
        }
        sink.flush_whole_bytes();
    }
};

// Row numbers in file order: sequential, or the four interlace passes.
class RowOrder {
public:
    RowOrder(uint32_t height, bool interlaced) : height_(height), interlaced_(interlaced) {}

    // The next row to fetch; false once every row has been handed out.
    bool next(uint32_t* row) {
        if (fetched_ >= height_) return false;
        if (!interlaced_) {
            *row = fetched_++;
            return true;
        }
        static constexpr uint32_t kStart[4] = {0, 4, 2, 1};
        static constexpr uint32_t kStep[4] = {8, 8, 4, 2};
        while (pass_ < 4) {
            const uint64_t candidate = kStart[pass_] + uint64_t{kStep[pass_]} * in_pass_;
            if (candidate < height_) {
                ++in_pass_;
                ++fetched_;
                *row = static_cast<uint32_t>(candidate);
                return true;
            }
            ++pass_;
            in_pass_ = 0;
        }
        return false;
    }

private:
    uint32_t height_;
    bool interlaced_;
    uint32_t fetched_ = 0;
    uint32_t pass_ = 0;
    uint32_t in_pass_ = 0;
};

bool row_fetched(HostStream* stream, uint32_t row, uint8_t* buffer, uint32_t size) {
    const void* pixels = nullptr;
    if (g_host.IO_raster_convert_get(stream, row, &pixels) != 0 || pixels == nullptr) return false;
    std::memcpy(buffer, pixels, size);
    return true;
}

// Encodes pixels [start, width) of a one-byte-per-pixel row. Values are
// masked to the code size, so a stray value cannot produce a code outside
// the alphabet.
void encode_byte_row(CodeState& state, CodeSink& sink, const uint8_t* row, uint32_t start, uint32_t width,
                     uint32_t pixel_mask, uint32_t& prefix_io) {
    uint32_t* const table = state.table;
    uint32_t prefix = prefix_io;
    for (uint32_t i = start; i < width; ++i) {
        const uint32_t pixel = row[i] & pixel_mask;
        const uint32_t key = (prefix << 8) | pixel;
        uint32_t slot = ((key >> 7) ^ key) & kSlotMask;
        for (;;) {
            const uint32_t entry = table[slot];
            if (entry == 0) {
                state.add_absent(sink, prefix, key, slot);
                prefix = pixel;
                break;
            }
            if ((entry & kKeyMask) == key) {
                prefix = entry >> 20;
                break;
            }
            slot = (slot + 1) & kSlotMask;
        }
    }
    prefix_io = prefix;
}

// The same for a row of packed bits; each (prefix, bit) has a slot of its own.
void encode_bit_row(CodeState& state, CodeSink& sink, const uint8_t* row, uint32_t start, uint32_t width,
                    uint32_t& prefix_io) {
    uint32_t* const table = state.table;
    uint32_t prefix = prefix_io;
    for (uint32_t i = start; i < width; ++i) {
        const uint32_t pixel = (row[i >> 3] >> (7 - (i & 7))) & 1;
        const uint32_t slot = prefix * 2 + pixel;
        const uint32_t entry = table[slot];
        if (entry != 0) {
            prefix = entry >> 20;
        } else {
            state.add_absent(sink, prefix, (prefix << 8) | pixel, slot);
            prefix = pixel;
        }
    }
    prefix_io = prefix;
}

uint32_t first_pixel(const uint8_t* row, uint32_t depth, uint32_t pixel_mask) {
    return depth == 1 ? (row[0] >> 7) & 1 : row[0] & pixel_mask;
}

}  // namespace

HostStatus GIF_image_data_write(HostStream* stream, uint32_t tag, HostDibInfo* image, const GifSettings* settings) {
    const auto width = static_cast<uint32_t>(g_host.DIB_width_get(image));
    const auto height = static_cast<uint32_t>(g_host.DIB_height_get(image));
    const uint32_t depth = g_host.DIB_bit_depth_get(image);
    const uint32_t row_size =
        depth == 1 ? g_host.DIB1bit_packed_raster_size_get(image, 2) : g_host.DIBStd_raster_size_get(image, 2);

    auto* row = static_cast<uint8_t*>(host_alloc(tag, row_size, m, __LINE__));
    auto* table = row != nullptr ? static_cast<uint32_t*>(host_alloc(tag, kTableSlots * sizeof(uint32_t), m, __LINE__))
                                 : nullptr;
    if (row == nullptr || table == nullptr) {
        record_error(m, __LINE__, err::kNoMemory);
        host_free(tag, row, m, __LINE__);
        return error_status();
    }
    const uint32_t min_size = depth == 1 ? 2 : depth;
    const uint32_t pixel_mask = (1u << min_size) - 1;
    RowOrder order(height, settings != nullptr && settings->interlace != 0);
    uint32_t row_number = 0;
    if (g_host.IO_byte_write(stream, static_cast<uint8_t>(min_size)) != 1) {
        record_error(m, __LINE__, gif_write_err::kByteNotWritten, 0, g_host.IO_tell(stream));
    } else if (order.next(&row_number) && row_fetched(stream, row_number, row, row_size)) {
        CodeSink sink{stream};
        CodeState state{table, min_size, 1u << min_size, (1u << min_size) + 2};
        state.reset();
        sink.emit(state.clear, state.width);
        if (width > 0) {
            uint32_t prefix = first_pixel(row, depth, pixel_mask);
            uint32_t start = 1;
            for (;;) {
                if (depth == 1) {
                    encode_bit_row(state, sink, row, start, width, prefix);
                } else {
                    encode_byte_row(state, sink, row, start, width, pixel_mask, prefix);
                }
                start = 0;
                if (sink.write_failed || !order.next(&row_number) || !row_fetched(stream, row_number, row, row_size)) {
                    break;
                }
            }
            sink.emit(prefix, state.width);
        }
        sink.emit(state.clear + 1, state.width);
        sink.finish();
    }
    host_free(tag, table, m, __LINE__);
    host_free(tag, row, m, __LINE__);
    return error_status();
}

}  // namespace kv
