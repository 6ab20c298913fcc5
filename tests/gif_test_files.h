// Builds GIF files byte by byte for the GIF tests, with a plain LZW encoder
// written from the GIF format description (not from the component); giflib
// as the oracle; the fixture that loads them.
#pragma once

#include "kvhost/gif.h"
#include "kvhost/memory.h"
#include "kvhost/stream.h"
#include "test_support.h"

#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

// Packs (code, width) pairs least significant bit first.
inline std::vector<uint8_t> pack_codes(const std::vector<std::pair<uint32_t, int>>& codes) {
    std::vector<uint8_t> out;
    uint64_t bits = 0;
    int held = 0;
    for (auto [code, width] : codes) {
        bits |= uint64_t{code} << held;
        held += width;
        while (held >= 8) {
            out.push_back(static_cast<uint8_t>(bits));
            bits >>= 8;
            held -= 8;
        }
    }
    if (held > 0) out.push_back(static_cast<uint8_t>(bits));
    return out;
}

// Codes for the indices as one literal each, from a clear code to the end
// code: a decoder adds a table entry per code after the first, so the code
// width follows its table. With `clears`, a clear code is sent before the
// table fills; without, the table fills and the width stays 12.
inline std::vector<std::pair<uint32_t, int>> literal_codes(const std::vector<uint8_t>& indices, int min_code_size,
                                                           bool clears = true) {
    const uint32_t clear = 1u << min_code_size;
    std::vector<std::pair<uint32_t, int>> codes;
    int width = min_code_size + 1;
    uint32_t next = clear + 2;
    bool first = true;
    codes.push_back({clear, width});
    for (uint8_t index : indices) {
        codes.push_back({index, width});
        if (first) {
            first = false;
            continue;
        }
        ++next;
        if (next == (1u << width) && width < 12) ++width;
        if (clears && next >= 4000) {
            codes.push_back({clear, width});
            width = min_code_size + 1;
            next = clear + 2;
            first = true;
        }
    }
    codes.push_back({clear + 1, width});
    return codes;
}

// The LZW data of the indices as the algorithm defines it, with a plain map
// for the string table: each code is the longest string the table holds.
// When the table is full it starts again after a clear code, or (without
// `clear_when_full`) goes on with the entries it has, as encoders that
// defer the clear do.
inline std::vector<uint8_t> encode_lzw(const std::vector<uint8_t>& indices, int min_code_size,
                                       bool clear_when_full = true) {
    const uint32_t clear = 1u << min_code_size;
    int width = min_code_size + 1;
    uint32_t next = clear + 2, prefix = indices[0];
    std::map<uint32_t, uint32_t> strings;
    std::vector<std::pair<uint32_t, int>> codes{{clear, width}};
    for (size_t i = 1; i < indices.size(); ++i) {
        const uint32_t key = prefix << 8 | indices[i];
        if (const auto found = strings.find(key); found != strings.end()) {
            prefix = found->second;
            continue;
        }
        codes.push_back({prefix, width});
        if (next < 4096) {
            strings[key] = next;
            if (next++ == 1u << width) ++width;
        } else if (clear_when_full) {
            codes.push_back({clear, width});
            strings.clear(), next = clear + 2, width = min_code_size + 1;
        }
        prefix = indices[i];
    }
    codes.insert(codes.end(), {{prefix, width}, {clear + 1, width}});
    return pack_codes(codes);
}

inline std::vector<uint8_t> encode_literals(const std::vector<uint8_t>& indices, int min_code_size) {
    return pack_codes(literal_codes(indices, min_code_size));
}

// Splits data into sub-blocks of at most 255 bytes, with a terminator.
inline std::vector<uint8_t> sub_blocks(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t n = std::min<size_t>(255, data.size() - at);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + at, data.begin() + at + n);
    }
    out.push_back(0);
    return out;
}

// A table of n entries where entry i is (i, 2i, 3i) modulo 256.
inline std::vector<uint8_t> ramp_table(size_t n) {
    std::vector<uint8_t> t(n * 3);
    for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i / 3 * (i % 3 + 1));
    return t;
}

// The size field of a colour table that holds `entries`.
inline uint8_t table_size_field(size_t entries) {
    uint8_t field = 0;
    while ((2u << field) < entries) ++field;
    return field;
}

struct GifFile {
    std::vector<uint8_t> bytes;

    // A GIF89a header whose global table holds `entries` (2 to 256, a power of two) ramp entries.
    static GifFile screen(uint16_t width, uint16_t height, size_t entries = 4) {
        GifFile file;
        return file.header("89a", width, height, 0x80 | table_size_field(entries), ramp_table(entries)), file;
    }

    GifFile& raw(std::vector<uint8_t> more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    GifFile& byte(uint8_t b) {
        bytes.push_back(b);
        return *this;
    }
    GifFile& word(uint16_t w) {
        bytes.push_back(static_cast<uint8_t>(w));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
        return *this;
    }
    // Header and screen descriptor; a global table when given.
    GifFile& header(const char* version, uint16_t width, uint16_t height, uint8_t fields,
                    std::vector<uint8_t> table = {}, uint8_t background = 0, uint8_t aspect = 0) {
        bytes.insert(bytes.end(), {'G', 'I', 'F'});
        bytes.insert(bytes.end(), version, version + 3);
        word(width).word(height).byte(fields).byte(background).byte(aspect);
        return raw(std::move(table));
    }
    GifFile& control(uint8_t fields, uint16_t delay, uint8_t index, uint8_t terminator = 0) {
        return byte(0x21).byte(0xF9).byte(4).byte(fields).word(delay).byte(index).byte(terminator);
    }
    GifFile& comment(const std::vector<std::string>& blocks) {
        byte(0x21).byte(0xFE);
        for (const std::string& b : blocks) byte(static_cast<uint8_t>(b.size())).raw({b.begin(), b.end()});
        return byte(0);
    }
    GifFile& application(const std::string& id_and_code, std::vector<uint8_t> data_blocks) {
        byte(0x21).byte(0xFF).byte(static_cast<uint8_t>(id_and_code.size()));
        return raw({id_and_code.begin(), id_and_code.end()}).raw(std::move(data_blocks));
    }
    GifFile& plain_text(const std::string& text) {
        byte(0x21).byte(0x01).byte(12).word(1).word(2).word(30).word(8).byte(6).byte(8).byte(1).byte(0);
        return raw(sub_blocks(std::vector<uint8_t>(text.begin(), text.end())));
    }
    // Descriptor, local table and image data (min code size + sub-blocks).
    GifFile& image(uint16_t left, uint16_t top, uint16_t width, uint16_t height, uint8_t fields,
                   std::vector<uint8_t> local_table, int min_code_size, const std::vector<uint8_t>& data) {
        byte(0x2C).word(left).word(top).word(width).word(height).byte(fields);
        raw(std::move(local_table));
        byte(static_cast<uint8_t>(min_code_size));
        return raw(sub_blocks(data));
    }
    // An image whose data encodes the indices.
    GifFile& image_of(uint16_t width, uint16_t height, const std::vector<uint8_t>& indices, int min_code_size = 8,
                      uint8_t fields = 0, std::vector<uint8_t> local_table = {}) {
        return image(0, 0, width, height, fields, std::move(local_table), min_code_size,
                     encode_literals(indices, min_code_size));
    }
    GifFile& trailer() { return byte(0x3B); }
};

// Pages 1 to n without a trailer; page i has a comment "page i", a graphic
// control (disposal i, delay 10 i, no transparency) and a 3x2 image at left
// i whose indices are i, 0, i, 1, i, 2; page 2 is interlaced.
inline GifFile numbered_pages(uint8_t n) {
    GifFile file = GifFile::screen(4, 4);
    for (uint8_t i = 1; i <= n; ++i) {
        file.comment({"page " + std::to_string(i)}).control(static_cast<uint8_t>(i << 2), i * 10, i);
        file.image(i, 0, 3, 2, i == 2 ? 0x40 : 0, {}, 2, encode_literals({i, 0, i, 1, i, 2}, 2));
    }
    return file;
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t modulo, uint32_t seed = 7) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>((x >> 16) % modulo);
    }
    return v;
}

// n indices below `modulo`: runs of random lengths (some long enough to fill
// the string table with one colour) and a motif that recurs throughout, so
// that strings defined early come back far later, with noise between.
inline std::vector<uint8_t> runs_and_motif(size_t n, uint32_t modulo, uint32_t seed) {
    const std::vector<uint8_t> motif = pattern(300, modulo, seed + 1);
    std::vector<uint8_t> out = pattern(n, modulo, seed);
    uint32_t state = seed;
    const auto random = [&] { return (state = state * 1103515245u + 12345u) >> 16; };
    for (size_t at = 0; at < n; at += random() % 50) {
        if (random() % 5 == 0) {
            const size_t length = std::min(motif.size(), n - at);
            std::copy_n(motif.begin(), length, out.begin() + at);
            at += length;
        } else {
            const size_t length = std::min<size_t>(random() % 3 == 0 ? random() % 4000 : random() % 40, n - at);
            std::fill_n(out.begin() + at, length, static_cast<uint8_t>(random() % modulo));
            at += length;
        }
    }
    return out;
}

// giflib's whole reading (DGifSlurp) of a GIF in memory, handed to
// use(gif, ok) before it is closed; false when giflib cannot open it.
template <typename Use>
bool giflib_slurp(const std::vector<uint8_t>& bytes, Use use) {
    std::pair<const uint8_t*, size_t> unread{bytes.data(), bytes.size()};
    auto read = [](GifFileType* gif, GifByteType* out, int n) -> int {
        auto* rest = static_cast<std::pair<const uint8_t*, size_t>*>(gif->UserData);
        const size_t count = std::min<size_t>(n, rest->second);
        std::memcpy(out, rest->first, count);
        *rest = {rest->first + count, rest->second - count};
        return static_cast<int>(count);
    };
    int error = 0;
    GifFileType* gif = DGifOpen(&unread, read, &error);
    if (gif == nullptr) return false;
    use(gif, DGifSlurp(gif) == GIF_OK);
    DGifCloseFile(gif, &error);
    return true;
}

// An extension block as giflib reads it: its label and its data, with the
// data of its later sub-blocks joined (a writer cuts sub-blocks its own way).
using GiflibBlock = std::pair<int, std::vector<uint8_t>>;

inline std::vector<GiflibBlock> giflib_blocks(const ExtensionBlock* blocks, int count) {
    std::vector<GiflibBlock> out;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> bytes(blocks[i].Bytes, blocks[i].Bytes + blocks[i].ByteCount);
        if (blocks[i].Function == CONTINUE_EXT_FUNC_CODE && !out.empty())
            out.back().second.insert(out.back().second.end(), bytes.begin(), bytes.end());
        else
            out.push_back({blocks[i].Function, bytes});
    }
    return out;
}

inline std::vector<uint8_t> giflib_rgb(const ColorMapObject* map) {
    std::vector<uint8_t> rgb;
    for (int k = 0; map != nullptr && k < map->ColorCount; ++k)
        rgb.insert(rgb.end(), {map->Colors[k].Red, map->Colors[k].Green, map->Colors[k].Blue});
    return rgb;
}

// giflib's reading of a GIF in memory, one entry per image in each vector:
// indices rows top to bottom (giflib puts interlaced rows in place), the
// colour table in force (3 bytes an entry) and the extension blocks before
// it. `ok` is false when giflib fails; the images it read are kept.
struct GiflibImages {
    bool ok = false;
    std::string version;  // "GIF87a" or "GIF89a"
    std::string screen;   // size, colour resolution, background, aspect
    std::vector<uint8_t> global_rgb;
    std::vector<std::vector<uint8_t>> indices;
    std::vector<std::vector<uint8_t>> rgb;
    std::vector<std::string> descriptors;  // position, size, interlace, own table
    std::vector<std::vector<GiflibBlock>> blocks;
    std::vector<GiflibBlock> after_last;
};

inline GiflibImages giflib_decode(const std::vector<uint8_t>& bytes) {
    GiflibImages result;
    result.version.assign(bytes.begin(), bytes.begin() + std::min<size_t>(6, bytes.size()));
    giflib_slurp(bytes, [&](GifFileType* gif, bool ok) {
        result.ok = ok;
        result.screen = std::to_string(gif->SWidth) + "x" + std::to_string(gif->SHeight) + " resolution " +
                        std::to_string(gif->SColorResolution) + " background " +
                        std::to_string(gif->SBackGroundColor) + " aspect " + std::to_string(gif->AspectByte);
        result.global_rgb = giflib_rgb(gif->SColorMap);
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& image = gif->SavedImages[i];
            const GifImageDesc& d = image.ImageDesc;
            const size_t n = size_t(d.Width) * d.Height;
            result.indices.emplace_back(image.RasterBits, image.RasterBits != nullptr ? image.RasterBits + n : nullptr);
            result.rgb.push_back(giflib_rgb(d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap));
            result.descriptors.push_back(std::to_string(d.Left) + "," + std::to_string(d.Top) + " " +
                                         std::to_string(d.Width) + "x" + std::to_string(d.Height) +
                                         (d.Interlace ? " interlaced" : "") + (d.ColorMap ? " local" : ""));
            result.blocks.push_back(giflib_blocks(image.ExtensionBlocks, image.ExtensionBlockCount));
        }
        result.after_last = giflib_blocks(gif->ExtensionBlocks, gif->ExtensionBlockCount);
    });
    return result;
}

// giflib reads the copy as the original: screen, images, palettes and the
// extension blocks before each image and after the last. An 87a copy keeps
// no blocks before its images; an 89a copy gives a page without any the
// default graphic control (no delay, no transparency).
inline void expect_same_gif(const GiflibImages& copy, const GiflibImages& original) {
    EXPECT_TRUE(copy.ok);
    EXPECT_EQ(copy.screen, original.screen);
    EXPECT_EQ(copy.global_rgb, original.global_rgb);
    ASSERT_EQ(copy.indices.size(), original.indices.size());
    for (size_t i = 0; i < copy.indices.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i + 1));
        EXPECT_EQ(copy.descriptors[i], original.descriptors[i]);
        EXPECT_EQ(copy.indices[i], original.indices[i]);
        EXPECT_EQ(copy.rgb[i], original.rgb[i]);
        std::vector<GiflibBlock> before = copy.version == "GIF87a" ? std::vector<GiflibBlock>{} : original.blocks[i];
        if (before.empty() && copy.version != "GIF87a") before = {{GRAPHICS_EXT_FUNC_CODE, {0, 0, 0, 0xFF}}};
        EXPECT_EQ(copy.blocks[i], before);
    }
    EXPECT_EQ(copy.after_last, original.after_last);
}

// A page's colour indices, one per pixel, rows top to bottom.
inline std::vector<uint8_t> indices_of(const kvhost::LoadedImage& image) {
    std::vector<uint8_t> out;
    out.reserve(size_t{image.width} * image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x)
            out.push_back(image.depth == 1 ? (image.row(y)[x / 8] >> (7 - x % 8)) & 1 : image.row(y)[x]);
    return out;
}

// Palette entry i (host order blue, green, red, reserved) as red, green, blue.
inline std::vector<uint8_t> rgb(const std::vector<uint8_t>& palette, size_t i) {
    return {palette.at(i * 4 + 2), palette.at(i * 4 + 1), palette.at(i * 4)};
}

class GifTest : public kvtest::CleanTest {
protected:
    static kvhost::gif::Source source(const GifFile& file) {
        return kvhost::gif::Source::memory(file.bytes.data(), file.bytes.size());
    }
    static kvhost::gif::PageResult load(const GifFile& file, uint32_t page = 1, bool tags = true) {
        return kvhost::gif::load_page(source(file), page, tags);
    }
    // Page N through the filter's load entry on a memory stream whose host
    // accepts images of at most `max_image_bytes`: the entry must fail, start
    // no image and move the stream back; the error codes it recorded.
    static std::vector<int32_t> refused_load(const GifFile& file, uint32_t page, uint64_t max_image_bytes) {
        auto stream = kvhost::memory_stream(file.bytes);
        stream->sink.max_image_bytes = max_image_bytes;
        auto load_entry = reinterpret_cast<ImageLoadFn>(kvtest::gif_filter().entry(KV_OP_LOAD));
        GifSettings settings{89, 0, 0};
        kvhost::clear_errors();
        EXPECT_NE(load_entry(stream.get(), &settings, page), 0);
        EXPECT_EQ(stream->position, 0);
        EXPECT_EQ(stream->sink.image, nullptr);
        const auto recorded = kvtest::error_codes();
        kvhost::clear_errors();
        return recorded;
    }
};

}  // namespace giftest
