// The GIF LZW encoder: variable-width codes packed least significant bit
// first into data sub-blocks of at most 255 bytes.
#include "frame/service_table.h"
#include "gif/gif_writer.h"
#include "lzw/code_table.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;

constexpr uint32_t kMaxCode = 4096;
constexpr uint32_t kFullBlock = 255;

// The code table among bytes is the shared one (empty slots hold 0), with
// its spare slot; among packed bits its slots are indexed directly by
// prefix and bit.
using code_table::kCodeMask;
using code_table::kSlots;
constexpr uint32_t kTableSlots = kSlots + 2;
// Codes of the branch-free loop wait here before they are packed: at most
// one per pixel of a stretch.
constexpr uint32_t kPendingCodes = 4096;
// Strings shorter than this many pixels on average make a row's strings short.
constexpr uint64_t kShortString = 4;

// A slot holds (key << 12) | code with key = ((prefix ^ clear) << 8) |
// pixel, or zero when empty. The clear code is never a prefix, so no key is
// zero and an empty slot never matches. A string is found or not by its key
// alone, so where it sits does not change the output.
inline uint32_t key_bits(uint32_t prefix, uint32_t clear, uint32_t pixel) {
    return ((prefix ^ clear) << 20) | (pixel << 12);
}

// Per pixel value: its home bucket spread (a prefix's code XOR this is the
// string's home).
constexpr std::array<uint16_t, 256> pixel_spreads() {
    std::array<uint16_t, 256> spread{};
    for (uint32_t c = 0; c < 256; ++c) spread[c] = static_cast<uint16_t>(code_table::byte_spread(c));
    return spread;
}
constexpr std::array<uint16_t, 256> kPixelSpread = pixel_spreads();

// Where the string (prefix, pixel) with key bits k is, or where it goes.
inline uint32_t slot_of(const uint32_t* table, uint32_t prefix, uint32_t pixel, uint32_t k) {
    return code_table::slot_for<0>(table, prefix ^ kPixelSpread[pixel], k);
}

// Whether the eight bytes after *at repeat it.
bool eight_repeat(const uint8_t* at) {
    uint64_t next8;
    std::memcpy(&next8, at + 1, sizeof next8);
    return next8 == at[0] * 0x0101010101010101ull;
}

// How many of the bytes after at[0], up to at[available - 1], repeat it.
uint32_t repeats(const uint8_t* at, uint32_t available) {
    const uint64_t pattern = at[0] * 0x0101010101010101ull;
    uint32_t n = 1;
    while (n + 8 <= available) {
        uint64_t next8;
        std::memcpy(&next8, at + n, sizeof next8);
        if (next8 != pattern) return n - 1 + static_cast<uint32_t>(__builtin_ctzll(next8 ^ pattern) / 8);
        n += 8;
    }
    while (n < available && at[n] == at[0]) ++n;
    return n - 1;
}

// The state of one image's encoding.
struct Encoder {
    HostStream* stream;
    uint32_t* table;
    uint16_t* pending;  // kPendingCodes codes waiting to be packed
    uint32_t min_size;
    uint32_t clear;
    uint32_t first_free;
    uint32_t next = 0;
    uint32_t width = 0;
    uint32_t threshold = 0;
    uint32_t prefix = 0;
    uint64_t bits = 0;  // pending bits, least significant first
    uint32_t bit_count = 0;
    uint32_t count = 0;  // data bytes in block[1..]
    bool write_failed = false;
    uint8_t block[kFullBlock + 2] = {};
    uint64_t blocks_written = 0;

    void reset() {
        next = first_free;
        width = min_size + 1;
        threshold = 1u << width;
        std::memset(table, 0, kSlots * sizeof(uint32_t));
        runs_reset();
    }

    void emit(uint32_t code) {
        bits |= uint64_t{code} << bit_count;
        bit_count += width;
    }

    // Bits sent so far, in blocks written and waiting.
    uint64_t bits_sent() const { return (blocks_written * kFullBlock + count) * 8 + bit_count; }

    __attribute__((noinline)) void write_full_block() {
        block[0] = kFullBlock;
        if (g_host.IO_write(stream, block, kFullBlock + 1) != kFullBlock + 1) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort, 0, 0, kFullBlock + 1);
            write_failed = true;
        }
        count = 0;
        ++blocks_written;
    }

    void flush_whole_bytes() {
        if (count + 8 <= kFullBlock) {
            // Eight bytes stored, as many kept as are complete (at most 7 bits stay).
            std::memcpy(block + 1 + count, &bits, sizeof bits);
            const uint32_t whole = bit_count >> 3;
            count += whole;
            bits >>= whole * 8;
            bit_count &= 7;
            return;
        }
        while (bit_count >= 8) {
            block[1 + count++] = static_cast<uint8_t>(bits);
            bits >>= 8;
            bit_count -= 8;
            if (count == kFullBlock) write_full_block();
        }
    }

    // Packs n codes of the present width: four at a time (at most 48 bits
    // over the 7 left), then whole bytes out.
    void pack(const uint16_t* codes, uint32_t n) {
        uint32_t i = 0;
        const uint32_t w = width;
        for (; i + 4 <= n; i += 4) {
            const uint64_t four = codes[i] | (uint64_t{codes[i + 1]} << w) | (uint64_t{codes[i + 2]} << 2 * w) |
                                  (uint64_t{codes[i + 3]} << 3 * w);
            bits |= four << bit_count;
            bit_count += 4 * w;
            flush_whole_bytes();
        }
        for (; i < n; ++i) {
            emit(codes[i]);
            flush_whole_bytes();
        }
    }

    // The prefix goes out and the string (prefix, pixel) gets the next code
    // in `slot`, or the table starts again when it is full; the pixel is the
    // new prefix.
    void add_string(uint32_t slot, uint32_t keyed, uint32_t pixel) {
        emit(prefix);
        if (next == kMaxCode) {
            emit(clear);
            reset();
        } else {
            table[slot] = keyed | next;
            if (next == threshold) {
                ++width;
                threshold <<= 1;
            }
            ++next;
        }
        flush_whole_bytes();
        prefix = pixel;
    }

    // The codes of the strings c, cc, ccc, ... of each pixel value c while
    // the table holds them: a run of equal pixels moves along them in one
    // step instead of one lookup per pixel. A string of k equal pixels
    // takes at least k (k - 1) / 2 of them to build, so an image of P
    // pixels never holds one longer than about the square root of 2P,
    // which bounds each list.
    struct RunStrings {
        uint16_t* longest = nullptr;  // per pixel value: the length of the longest string held
        uint16_t* top = nullptr;      // per pixel value: its code
        uint16_t* codes = nullptr;    // per pixel value, `stride` entries: codes by length from 2
        uint32_t stride = 0;
    };
    RunStrings runs{};

    void runs_reset() {
        for (uint32_t c = 0; c < clear && runs.codes != nullptr; ++c) {
            runs.longest[c] = 1;
            runs.top[c] = static_cast<uint16_t>(c);
        }
    }

    uint32_t run_code(uint32_t pixel, uint32_t length) const {
        return length == 1 ? pixel : runs.codes[pixel * runs.stride + length];
    }

    // Lists the string one longer than the pixel's longest; false if that
    // would pass the list's end, which the bound above rules out.
    bool run_listed(uint32_t pixel, uint32_t code) {
        const uint32_t longer = runs.longest[pixel] + 1u;
        if (longer >= runs.stride) return false;
        runs.longest[pixel] = static_cast<uint16_t>(longer);
        runs.top[pixel] = static_cast<uint16_t>(code);
        runs.codes[pixel * runs.stride + longer] = static_cast<uint16_t>(code);
        return true;
    }

    // A run of the pixel just added follows (its byte repeated, so its value
    // too): the prefix is its string of length 1. Whole strings of the run
    // are taken from the lists. Past the longest listed, the table tells
    // whether it holds the next longer one (made among other pixels), which
    // is then listed too; if not, the longest goes out and the next longer
    // one is added. Returns the run's last pixel.
    uint32_t run_of(const uint8_t* row, uint32_t i, uint32_t pixels, uint32_t pixel) {
        uint32_t rest = repeats(row + i, pixels - i), length = 1;
        for (;;) {
            const uint32_t longest = runs.longest[pixel];
            if (length + rest <= longest) {
                prefix = run_code(pixel, length + rest);
                return i + rest;
            }
            i += longest - length + 1;
            rest -= longest - length + 1;
            prefix = runs.top[pixel];
            const uint32_t keyed = key_bits(prefix, clear, pixel);
            const uint32_t slot = slot_of(table, prefix, pixel, keyed);
            uint32_t code = table[slot] ^ keyed;
            if (table[slot] != 0) {
                prefix = code;
                length = longest + 1;
            } else {
                const bool adds = next != kMaxCode;
                code = next;
                add_string(slot, keyed, pixel);
                length = 1;
                if (!adds) {
                    if (rest == 0) return i;
                    continue;
                }
            }
            if (!run_listed(pixel, code)) runs.codes = nullptr;
            if (rest == 0 || runs.codes == nullptr) return i;
        }
    }

    // One byte pixel whose string is not in the first slot of its home
    // bucket: found further on, or added (then a run may follow). Returns
    // the last pixel taken.
    [[gnu::noinline]] uint32_t byte_pixel_the_long_way(const uint8_t* row, uint32_t i, uint32_t pixels,
                                                       uint32_t pixel) {
        const uint32_t keyed = key_bits(prefix, clear, pixel);
        const uint32_t slot = slot_of(table, prefix, pixel, keyed);
        if (table[slot] != 0) {
            prefix = table[slot] ^ keyed;
            return i;
        }
        add_string(slot, keyed, pixel);
        if (runs.codes != nullptr && i + 8 < pixels && eight_repeat(row + i)) return run_of(row, i, pixels, pixel);
        return i;
    }

    // Pixels [start, pixels) of a row of bytes, with branches: quick where
    // strings are long and runs common (drawings, screens). A string found
    // in the first slot of its home bucket takes the loop's own path, in
    // registers; every other pixel goes the long way, through the struct.
    void encode_bytes(const uint8_t* row, uint32_t start, uint32_t pixels, uint32_t pixel_mask) {
        const uint32_t* const tab = table;
        uint32_t p = prefix;
        for (uint32_t i = start; i < pixels; ++i) {
            const uint32_t pixel = row[i] & pixel_mask;
            const uint32_t keyed = key_bits(p, clear, pixel);
            // (64 bits wide, so that doubling it folds into the load's address.)
            const uint64_t bucket = p ^ kPixelSpread[pixel];
            const uint32_t low = tab[2 * bucket];
            if ((low ^ keyed) <= kCodeMask) {
                p = low ^ keyed;
                continue;
            }
            prefix = p;
            i = byte_pixel_the_long_way(row, i, pixels, pixel);
            p = prefix;
        }
        prefix = p;
    }

    // Pixels [start, pixels) of a row of bytes without branches on found or
    // not found (photographs). The codes wait in `pending` and are packed
    // apart from the loop, which keeps few values at hand.
    void encode_bytes_flat(const uint8_t* row, uint32_t start, uint32_t pixels, uint32_t pixel_mask) {
        uint32_t* const tab = table;
        uint16_t* const waiting = pending;
        uint32_t c_next = next;
        uint32_t c_cur = prefix;
        // The code count at which more than a plain step happens: a wider
        // code, a full table, or the miss after it that starts the table again.
        const auto trigger_of = [&] {
            return next == kMaxCode ? kMaxCode + 1 : width < 12 ? threshold + 1 : kMaxCode;
        };
        uint32_t trigger = trigger_of();
        for (uint32_t stretch = start; stretch < pixels; stretch += kPendingCodes) {
            const uint32_t stretch_end = pixels - stretch > kPendingCodes ? stretch + kPendingCodes : pixels;
            uint32_t n = 0;
            for (uint32_t i = stretch; i < stretch_end; ++i) {
                const uint32_t c = row[i] & pixel_mask;
                const uint32_t bucket = c_cur ^ kPixelSpread[c];
                const uint32_t k = key_bits(c_cur, clear, c);
                waiting[n] = static_cast<uint16_t>(c_cur);
                uint32_t miss;
                c_cur = code_table::branch_free_step<0>(tab, bucket, k, c, first_free, c_next, &miss);
                n += miss;
                c_next += miss;
                if (c_next == trigger) [[unlikely]] {
                    // What waits goes out at the present width first.
                    pack(waiting, n);
                    n = 0;
                    if (c_next == kMaxCode + 1) {
                        // The miss after the table filled: its prefix went
                        // out, then the clear, and no string was added (the
                        // step's store went to a table about to be emptied).
                        emit(clear);
                        flush_whole_bytes();
                        reset();
                        c_next = next;
                    } else if (c_next != kMaxCode) {
                        ++width;
                        threshold <<= 1;
                    }
                    next = c_next;
                    trigger = trigger_of();
                }
            }
            pack(waiting, n);
        }
        next = c_next;
        prefix = c_cur;
    }

    // Pixels [start, pixels) of a row of packed bits, indexed directly by
    // prefix and bit. A missing string sends its prefix and is assigned the
    // next code, or the table starts again when it is full.
    void encode_bits(const uint8_t* row, uint32_t start, uint32_t pixels) {
        for (uint32_t i = start; i < pixels; ++i) {
            const uint32_t pixel = (row[i >> 3] >> (7 - (i & 7))) & 1;
            const uint32_t slot = prefix * 2 + pixel;
            const uint32_t entry = table[slot];
            if (entry != 0) {
                prefix = entry & kCodeMask;
                continue;
            }
            add_string(slot, key_bits(prefix, clear, pixel), pixel);
        }
    }

    // The left-over bits as one more byte, the last sub-block and the
    // terminator in one write, checked like every other block.
    void finish() {
        flush_whole_bytes();
        if (bit_count > 0) block[1 + count++] = static_cast<uint8_t>(bits);
        uint64_t size = 1;
        block[0] = static_cast<uint8_t>(count);
        if (count > 0) {
            block[count + 1] = 0;
            size = count + 2;
        }
        if (g_host.IO_write(stream, block, size) != size) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort, 0, 0, static_cast<int64_t>(size));
        }
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

// A row that the host hands over as success but without its bytes is
// recorded here, since nobody else has said anything about it.
bool row_fetched(HostStream* stream, uint32_t row, uint8_t* buffer, uint32_t size, uint32_t depth) {
    const void* pixels = nullptr;
    if (g_host.IO_raster_convert_get(stream, row, &pixels) != 0) return false;
    if (pixels == nullptr) {
        record_error(m, __LINE__, gif_write_err::kNoConversion, 0, depth, row);
        return false;
    }
    std::memcpy(buffer, pixels, size);
    return true;
}

// The entries of a run list: strings of equal pixels up to the longest an
// image of this many pixels can build, indexed by length from 1.
uint32_t run_list_length(uint64_t pixels) {
    uint64_t root = 0;
    while ((root + 1) * (root + 1) <= 2 * pixels && root < kMaxCode) ++root;
    return static_cast<uint32_t>(std::min<uint64_t>(root + 3, kMaxCode));
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

    const uint32_t min_size = depth == 1 ? 2 : depth;
    // Among bytes the run lists share the code table's block.
    const uint32_t run_stride = depth == 1 ? 0 : run_list_length(uint64_t{width} * height);
    const uint64_t run_entries = depth == 1 ? 0 : (uint64_t{run_stride} + 2) << min_size;
    auto* row = static_cast<uint8_t*>(host_alloc(tag, row_size, m, __LINE__));
    auto* table = row != nullptr ? static_cast<uint32_t*>(host_alloc(tag,
                                                                     kTableSlots * sizeof(uint32_t) +
                                                                         (kPendingCodes + run_entries) * sizeof(uint16_t),
                                                                     m, __LINE__))
                                 : nullptr;
    if (row == nullptr || table == nullptr) {
        record_error(m, __LINE__, err::kNoMemory);
        host_free(tag, row, m, __LINE__);
        return error_status();
    }
    const uint32_t pixel_mask = (1u << min_size) - 1;
    RowOrder order(height, settings != nullptr && settings->interlace != 0);
    uint32_t row_number = 0;
    if (g_host.IO_byte_write(stream, static_cast<uint8_t>(min_size)) != 1) {
        record_error(m, __LINE__, gif_write_err::kByteNotWritten, 0, g_host.IO_tell(stream));
    } else if (order.next(&row_number) && row_fetched(stream, row_number, row, row_size, depth)) {
        Encoder e{stream, table, reinterpret_cast<uint16_t*>(table + kTableSlots), min_size, 1u << min_size,
                  (1u << min_size) + 2};
        if (run_stride != 0) {
            e.runs.longest = e.pending + kPendingCodes;
            e.runs.top = e.runs.longest + (1u << min_size);
            e.runs.codes = e.runs.top + (1u << min_size);
            e.runs.stride = run_stride;
        }
        e.reset();
        e.emit(e.clear);
        if (width > 0) {
            e.prefix = first_pixel(row, depth, pixel_mask);
            uint32_t start = 1;
            // Rows whose strings were short go the branch-free way.
            bool short_strings = false;
            for (;;) {
                const uint64_t sent_before = e.bits_sent();
                if (depth == 1) {
                    e.encode_bits(row, start, width);
                } else if (short_strings) {
                    e.encode_bytes_flat(row, start, width, pixel_mask);
                } else {
                    e.encode_bytes(row, start, width, pixel_mask);
                }
                short_strings = (e.bits_sent() - sent_before) * kShortString > uint64_t{width} * e.width;
                start = 0;
                if (e.write_failed || !order.next(&row_number) ||
                    !row_fetched(stream, row_number, row, row_size, depth)) {
                    break;
                }
            }
            e.emit(e.prefix);
        }
        e.emit(e.clear + 1);
        e.finish();
    }
    host_free(tag, table, m, __LINE__);
    host_free(tag, row, m, __LINE__);
    return error_status();
}

}  // namespace kv
