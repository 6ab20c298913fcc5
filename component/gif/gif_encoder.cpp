// The GIF LZW encoder: variable-width codes packed least significant bit
// first into data sub-blocks of at most 255 bytes.
#include "frame/service_table.h"
#include "gif/gif_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;

constexpr uint32_t kHomeSlots = 16384;
// Linear probing runs on past the home slots instead of wrapping: a run is
// never longer than the number of codes, so 4,096 more slots always suffice.
constexpr uint32_t kTableSlots = kHomeSlots + 4096;
constexpr uint32_t kCodeMask = 0xFFF;
constexpr uint32_t kMaxCode = 4096;
constexpr uint32_t kFullBlock = 255;

// Among bytes, the table works on codes in a scrambled form: an odd
// multiplier modulo 4,096 (and its inverse to get the code back) spreads
// neighbouring codes, so the home slot of a string is its prefix's
// scrambled code XOR a fixed spread of its pixel, one instruction on the
// path from one lookup to the next. The clear code scrambles to 0; it is
// never a prefix, so no key looked up is 0 and an empty slot never matches.
constexpr uint32_t kScramble = 0x9E5;
constexpr uint32_t kUnscramble = 0xBED;  // kScramble * kUnscramble = 1 modulo 4,096
static_assert((kScramble * kUnscramble & kCodeMask) == 1);

constexpr std::array<uint16_t, 256> pixel_spreads() {
    std::array<uint16_t, 256> spread{};
    uint32_t x = 12345;
    for (auto& s : spread) {
        x = x * 1103515245u + 12345u;
        s = static_cast<uint16_t>((x >> 16) & (kHomeSlots - 1));
    }
    return spread;
}
constexpr std::array<uint16_t, 256> kPixelSpread = pixel_spreads();

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

// The state of one image's encoding. The row loops keep the hot fields in
// locals and store them back once per row.
//
// A table slot holds (key << 12) | code with key = (prefix << 8) | pixel,
// or zero when empty; among bytes both codes are in scrambled form. A
// string is found or not by its key alone, so where it sits does not change
// the output.
struct Encoder {
    HostStream* stream;
    uint32_t* table;
    uint32_t min_size;
    uint32_t clear;
    uint32_t first_free;
    uint32_t next = 0;
    uint32_t width = 0;
    uint32_t threshold = 0;
    uint32_t prefix = 0;
    uint32_t slots_used = kTableSlots;  // slots to clear at a reset: all of them at first
    uint64_t bits = 0;  // pending bits, least significant first
    uint32_t bit_count = 0;
    uint32_t count = 0;  // data bytes in block[1..]
    bool write_failed = false;
    uint8_t block[kFullBlock + 2] = {};

    uint32_t scrambled(uint32_t code) const { return ((code - clear) * kScramble) & kCodeMask; }
    uint32_t unscrambled(uint32_t value) const { return (value * kUnscramble + clear) & kCodeMask; }

    void reset() {
        next = first_free;
        width = min_size + 1;
        threshold = 1u << width;
        std::memset(table, 0, slots_used * sizeof(uint32_t));
        slots_used = kHomeSlots;
        runs_reset();
    }

    void emit(uint32_t code) {
        bits |= uint64_t{code} << bit_count;
        bit_count += width;
    }

    __attribute__((noinline)) void write_full_block() {
        block[0] = kFullBlock;
        if (g_host.IO_write(stream, block, kFullBlock + 1) != kFullBlock + 1) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort, 0, 0, kFullBlock + 1);
            write_failed = true;
        }
        count = 0;
    }

    void flush_whole_bytes() {
        while (bit_count >= 8) {
            block[1 + count++] = static_cast<uint8_t>(bits);
            bits >>= 8;
            bit_count -= 8;
            if (count == kFullBlock) write_full_block();
        }
    }

    // The codes of the strings c, cc, ccc, ... of each pixel value c (in
    // scrambled form) while the table holds them: a run of equal pixels
    // moves along them in one step instead of one lookup per pixel. A
    // string of k equal pixels takes at least k (k - 1) / 2 of them to
    // build, so an image of P pixels never holds one longer than about
    // the square root of 2P, which bounds each list.
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
            runs.top[c] = static_cast<uint16_t>(scrambled(c));
        }
    }

    uint32_t run_code(uint32_t pixel, uint32_t length) const {
        return length == 1 ? scrambled(pixel) : runs.codes[pixel * runs.stride + length];
    }

    // Lists the string one longer than the pixel's longest; false if that
    // would pass the list's end, which the bound above rules out.
    bool run_listed(uint32_t pixel, uint32_t value) {
        const uint32_t longer = runs.longest[pixel] + 1u;
        if (longer >= runs.stride) return false;
        runs.longest[pixel] = static_cast<uint16_t>(longer);
        runs.top[pixel] = static_cast<uint16_t>(value);
        runs.codes[pixel * runs.stride + longer] = static_cast<uint16_t>(value);
        return true;
    }

    // Pixels [start, pixels) of a row: one byte each, or packed bits. A key not
    // in the table sends its prefix and is assigned the next code, or the
    // table starts again when it is full. The state lives in locals here: the
    // table stores could otherwise alias it.
    template <bool kPackedBits>
    void encode_row(const uint8_t* row, uint32_t start, uint32_t pixels, uint32_t pixel_mask) {
        uint32_t* const codes = table;
        uint32_t p = kPackedBits ? prefix : scrambled(prefix);
        uint32_t free_code = next, code_width = width, limit = threshold, used = slots_used;
        uint32_t free_value = kPackedBits ? free_code : scrambled(free_code);
        uint64_t acc = bits;
        uint32_t held = bit_count, n = count;

        // The prefix goes out and the string (prefix, pixel) gets the next
        // code in `slot`, or the table starts again when it is full.
        const auto add_string = [&](uint32_t slot, uint32_t keyed, uint32_t pixel) __attribute__((always_inline)) {
            acc |= uint64_t{kPackedBits ? p : unscrambled(p)} << held;
            held += code_width;
            if (free_code == kMaxCode) {
                acc |= uint64_t{clear} << held;
                held += code_width;
                slots_used = used;
                reset();
                used = slots_used;
                free_code = next;
                free_value = kPackedBits ? free_code : scrambled(free_code);
                code_width = width;
                limit = threshold;
            } else {
                codes[slot] = keyed | free_value;
                if (free_code == limit) {
                    ++code_width;
                    limit <<= 1;
                }
                ++free_code;
                free_value = kPackedBits ? free_code : (free_value + kScramble) & kCodeMask;
            }
            if (n + 4 < kFullBlock) {
                // Whole bytes without a loop: four are stored, as many kept as complete.
                const auto low = static_cast<uint32_t>(acc);
                std::memcpy(block + 1 + n, &low, sizeof low);
                const uint32_t whole = held >> 3;
                n += whole;
                acc >>= whole * 8;
                held &= 7;
            } else {
                while (held >= 8) {
                    block[1 + n++] = static_cast<uint8_t>(acc);
                    acc >>= 8;
                    held -= 8;
                    if (n == kFullBlock) {
                        count = n;
                        write_full_block();
                        n = 0;
                    }
                }
            }
            p = kPackedBits ? pixel : scrambled(pixel);
        };

        for (uint32_t i = start; i < pixels; ++i) {
            if constexpr (kPackedBits) {
                const uint32_t pixel = (row[i >> 3] >> (7 - (i & 7))) & 1;
                const uint32_t slot = p * 2 + pixel;
                const uint32_t entry = codes[slot];
                if (entry != 0) {
                    p = entry & kCodeMask;
                    continue;
                }
                add_string(slot, (p << 20) | (pixel << 12), pixel);
            } else {
                const uint32_t pixel = row[i] & pixel_mask;
                const uint32_t keyed = (p << 20) | (pixel << 12);
                uint32_t slot = p ^ kPixelSpread[pixel];
                uint32_t entry = codes[slot];
                uint32_t found = entry ^ keyed;
                if (found <= kCodeMask) {
                    p = found;
                    continue;
                }
                while (entry != 0) {
                    entry = codes[++slot];
                    found = entry ^ keyed;
                    if (found <= kCodeMask) break;
                }
                if (entry != 0) {
                    p = found;
                    continue;
                }
                if (slot >= used) used = slot + 1;
                add_string(slot, keyed, pixel);
                if (runs.codes == nullptr || i + 8 >= pixels || !eight_repeat(row + i)) continue;
                // A run of this pixel follows (its byte repeated, so its value
                // too): the prefix is its string of length 1. Whole strings of
                // the run are taken from the lists. Past the longest listed,
                // the table tells whether it holds the next longer one (made
                // among other pixels), which is then listed too; if not, the
                // longest goes out and the next longer one is added.
                uint32_t rest = repeats(row + i, pixels - i), length = 1;
                for (;;) {
                    const uint32_t longest = runs.longest[pixel];
                    if (length + rest <= longest) {
                        p = run_code(pixel, length + rest);
                        i += rest;
                        break;
                    }
                    i += longest - length + 1;
                    rest -= longest - length + 1;
                    p = runs.top[pixel];
                    const uint32_t top_keyed = (p << 20) | (pixel << 12);
                    uint32_t top_slot = p ^ kPixelSpread[pixel];
                    uint32_t top_entry = codes[top_slot];
                    while (top_entry != 0 && (top_entry ^ top_keyed) > kCodeMask) top_entry = codes[++top_slot];
                    uint32_t value = top_entry ^ top_keyed;
                    if (top_entry != 0) {
                        p = value;
                        length = longest + 1;
                    } else {
                        if (top_slot >= used) used = top_slot + 1;
                        const bool adds = free_code != kMaxCode;
                        value = free_value;
                        add_string(top_slot, top_keyed, pixel);
                        length = 1;
                        if (!adds) {
                            if (rest == 0) break;
                            continue;
                        }
                    }
                    if (!run_listed(pixel, value)) runs.codes = nullptr;
                    if (rest == 0 || runs.codes == nullptr) break;
                }
            }
        }
        prefix = kPackedBits ? p : unscrambled(p);
        slots_used = used;
        next = free_code;
        width = code_width;
        threshold = limit;
        bits = acc;
        bit_count = held;
        count = n;
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

bool row_fetched(HostStream* stream, uint32_t row, uint8_t* buffer, uint32_t size) {
    const void* pixels = nullptr;
    if (g_host.IO_raster_convert_get(stream, row, &pixels) != 0 || pixels == nullptr) return false;
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
    auto* table = row != nullptr ? static_cast<uint32_t*>(host_alloc(
                                       tag, kTableSlots * sizeof(uint32_t) + run_entries * sizeof(uint16_t), m, __LINE__))
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
    } else if (order.next(&row_number) && row_fetched(stream, row_number, row, row_size)) {
        Encoder e{stream, table, min_size, 1u << min_size, (1u << min_size) + 2};
        if (run_stride != 0) {
            e.runs.longest = reinterpret_cast<uint16_t*>(table + kTableSlots);
            e.runs.top = e.runs.longest + (1u << min_size);
            e.runs.codes = e.runs.top + (1u << min_size);
            e.runs.stride = run_stride;
        }
        e.reset();
        e.emit(e.clear);
        if (width > 0) {
            e.prefix = first_pixel(row, depth, pixel_mask);
            uint32_t start = 1;
            for (;;) {
                if (depth == 1) {
                    e.encode_row<true>(row, start, width, pixel_mask);
                } else {
                    e.encode_row<false>(row, start, width, pixel_mask);
                }
                start = 0;
                if (e.write_failed || !order.next(&row_number) || !row_fetched(stream, row_number, row, row_size)) {
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
