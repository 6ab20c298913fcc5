// kvlzw encode and copy as a user runs them, with giflib reading the
// results: colours and transparency of PNGs of every kind, damaged PNGs, the extension
// blocks asked for, appending (and a failed append leaving the file alone),
// copies that giflib reads as the original.
#include "gif_test_files.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace {

using kvtest::temp_path;

// A test PNG: one 16-bit slot per sample.
struct TestPng {
    int color_type = PNG_COLOR_TYPE_RGB;
    int bit_depth = 8;
    uint32_t width = 7, height = 5;
    bool interlaced = false;
    int filters = PNG_ALL_FILTERS;  // the row filters libpng may choose from
    std::vector<uint16_t> samples;
    std::vector<uint8_t> plte;        // 3 bytes per entry
    std::vector<uint8_t> trns_alpha;  // palette alphas
    std::optional<png_color_16> trns_colour;

    int channels() const {
        if (color_type == PNG_COLOR_TYPE_PALETTE) return 1;
        return ((color_type & PNG_COLOR_MASK_COLOR) != 0 ? 3 : 1) + ((color_type & PNG_COLOR_MASK_ALPHA) != 0 ? 1 : 0);
    }
};

void write_test_png(const std::string& path, const TestPng& p) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, p.width, p.height, p.bit_depth, p.color_type,
                 p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!p.plte.empty())
        png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(p.plte.data()), int(p.plte.size() / 3));
    if (!p.trns_alpha.empty()) png_set_tRNS(png, info, p.trns_alpha.data(), int(p.trns_alpha.size()), nullptr);
    if (p.trns_colour) png_set_tRNS(png, info, nullptr, 0, &*p.trns_colour);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, p.filters);
    png_write_info(png, info);
    if (p.bit_depth < 8) png_set_packing(png);  // one sample a byte in, packed on writing
    if (p.bit_depth == 16) png_set_swap(png);   // little-endian words in
    std::vector<uint8_t> bytes;
    for (uint16_t v : p.samples) {
        bytes.push_back(uint8_t(v));
        if (p.bit_depth == 16) bytes.push_back(uint8_t(v >> 8));
    }
    std::vector<png_bytep> pointers;
    for (uint32_t y = 0; y < p.height; ++y) pointers.push_back(bytes.data() + bytes.size() / p.height * y);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

// What a pixel of the test PNG shows: its 8-bit colour, or nothing.
std::optional<std::vector<uint8_t>> shown(const TestPng& p, size_t pixel) {
    const int n = p.channels();
    const uint16_t* s = &p.samples[pixel * n];
    if (p.color_type == PNG_COLOR_TYPE_PALETTE) {
        if (s[0] < p.trns_alpha.size() && p.trns_alpha[s[0]] == 0) return std::nullopt;
        return std::vector<uint8_t>(p.plte.begin() + s[0] * 3, p.plte.begin() + s[0] * 3 + 3);
    }
    const uint32_t top = (1u << p.bit_depth) - 1;
    auto to8 = [&](uint16_t v) { return uint8_t((v * 255u + top / 2) / top); };
    const bool grey = n <= 2;
    if ((n == 2 || n == 4) && s[n - 1] == 0) return std::nullopt;
    if (p.trns_colour && (grey ? s[0] == p.trns_colour->gray
                               : s[0] == p.trns_colour->red && s[1] == p.trns_colour->green &&
                                     s[2] == p.trns_colour->blue))
        return std::nullopt;
    if (grey) return std::vector<uint8_t>{to8(s[0]), to8(s[0]), to8(s[0])};
    return std::vector<uint8_t>{to8(s[0]), to8(s[1]), to8(s[2])};
}

giftest::GiflibImages read_gif(const std::string& path) { return giftest::giflib_decode(kvtest::read_file(path)); }

// The transparent index of the graphic control among the blocks, or -1.
int transparent_index(const std::vector<giftest::GiflibBlock>& blocks) {
    for (const auto& [label, data] : blocks)
        if (label == GRAPHICS_EXT_FUNC_CODE && data.size() == 4) return (data[0] & 1) != 0 ? data[3] : -1;
    return -1;
}

bool interlaced(const std::string& descriptor) { return kvtest::contains(descriptor, "interlaced"); }

using kvtest::expect_run;

// Alpha 0 on every third pixel, full elsewhere.
TestPng with_clear_pixels(TestPng p) {
    const int n = p.channels();
    const uint16_t full = uint16_t((1u << p.bit_depth) - 1);
    for (size_t i = 0; i * n < p.samples.size(); ++i) p.samples[i * n + n - 1] = i % 3 == 0 ? 0 : full;
    return p;
}

// A 7 x 5 PNG (13 x 11 interlaced, so that every pass has pixels) of the
// pattern modulo `modulo` (16-bit samples spread over their range), its
// clear pixels as with_clear_pixels makes them.
TestPng png_of(int color_type, int bit_depth, uint32_t modulo, uint32_t seed = 7, bool interlaced = false) {
    TestPng p;
    p.color_type = color_type, p.bit_depth = bit_depth;
    if (interlaced) p.interlaced = true, p.width = 13, p.height = 11;
    for (uint8_t b : giftest::pattern(size_t{p.width} * p.height * p.channels(), modulo, seed))
        p.samples.push_back(uint16_t(b * (bit_depth == 16 ? 257 : 1)));
    return (color_type & PNG_COLOR_MASK_ALPHA) != 0 ? with_clear_pixels(p) : p;
}

// Colours and transparency of every PNG kind: exact up to 256 colours (and
// palette images keep their indices); more are quantized, with and without
// dithering, within a mean error per pixel. Clear pixels stay clear.
TEST(GifEncodeTool, EveryPngKindKeepsItsColoursAndTransparency) {
    struct Case {
        TestPng png;
        std::string options = {};
        uint32_t mean_error = 0;
    };
    TestPng palette = png_of(PNG_COLOR_TYPE_PALETTE, 8, 200);
    for (int i = 0; i < 200; ++i) palette.plte.insert(palette.plte.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
    palette.trns_alpha = {255, 255, 0, 128, 0};  // two clear entries: both become the first
    TestPng two = png_of(PNG_COLOR_TYPE_PALETTE, 1, 2);
    two.plte = {10, 20, 30, 200, 100, 50};
    TestPng sixteen = png_of(PNG_COLOR_TYPE_PALETTE, 4, 16, 7, true);
    sixteen.plte = giftest::ramp_table(16);
    TestPng keyed = png_of(PNG_COLOR_TYPE_GRAY, 8, 40);
    keyed.trns_colour = png_color_16{0, 0, 0, 0, 3};
    std::vector<Case> cases = {{palette}, {two}, {sixteen}, {keyed},
                               {png_of(PNG_COLOR_TYPE_GRAY, 1, 2)}, {png_of(PNG_COLOR_TYPE_GRAY, 4, 16)},
                               {png_of(PNG_COLOR_TYPE_GRAY, 16, 256)}, {png_of(PNG_COLOR_TYPE_GRAY_ALPHA, 8, 256)},
                               {png_of(PNG_COLOR_TYPE_RGB, 8, 256)}, {png_of(PNG_COLOR_TYPE_RGB, 16, 256)},
                               {png_of(PNG_COLOR_TYPE_RGB_ALPHA, 8, 256)}, {png_of(PNG_COLOR_TYPE_RGB_ALPHA, 16, 256)},
                               {png_of(PNG_COLOR_TYPE_GRAY, 2, 4, 3, true)}, {png_of(PNG_COLOR_TYPE_GRAY_ALPHA, 16, 256, 3, true)},
                               {png_of(PNG_COLOR_TYPE_RGB, 16, 256, 3, true)}};
    TestPng many = png_of(PNG_COLOR_TYPE_RGB_ALPHA, 8, 1);
    many.width = many.height = 64;
    many.samples.clear();
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) many.samples.insert(many.samples.end(), {uint16_t(x * 4), uint16_t(y * 4), 128, 255});
    for (const char* dither : {"", " --no-dither"}) cases.push_back({with_clear_pixels(many), dither, 12});
    // Every row through one filter, on enough pixels to meet its corner cases.
    for (int filter : {PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH}) {
        TestPng one = png_of(PNG_COLOR_TYPE_RGB, 8, 256);
        one.width = one.height = 40;
        one.samples.clear();
        for (uint8_t b : giftest::pattern(40 * 40, 256, filter)) one.samples.insert(one.samples.end(), {b, uint16_t(b / 2), uint16_t(b ^ 0x55)});
        one.filters = filter;
        cases.push_back({one});
    }

    const std::string png = temp_path("kind.png"), gif = temp_path("kind.gif");
    for (const Case& c : cases) {
        const TestPng& p = c.png;
        SCOPED_TRACE("colour type " + std::to_string(p.color_type) + ", depth " + std::to_string(p.bit_depth) + c.options);
        write_test_png(png, p);
        expect_run("encode " + png + " -o " + gif + c.options, 0);
        const auto read = read_gif(gif);
        ASSERT_TRUE(read.ok && read.indices.size() == 1);
        const auto& indices = read.indices[0];
        ASSERT_EQ(indices.size(), size_t{p.width} * p.height);
        const int clear = transparent_index(read.blocks[0]);
        uint64_t error = 0;
        for (size_t i = 0; i < indices.size(); ++i) {
            const auto colour = shown(p, i);
            EXPECT_EQ(indices[i] == clear, !colour) << "pixel " << i;
            if (!colour) continue;
            for (int k = 0; k < 3; ++k) error += std::abs(int(read.rgb[0].at(indices[i] * 3 + k)) - (*colour)[k]);
            if (p.color_type == PNG_COLOR_TYPE_PALETTE) {
                EXPECT_EQ(indices[i], p.samples[i]) << "pixel " << i;
            }
        }
        EXPECT_LE(error, uint64_t{c.mean_error} * indices.size()) << "colour error";
    }
    std::remove(png.c_str());
    std::remove(gif.c_str());
}

using kvtest::grey_png;
using kvtest::png_chunk;

std::string zlib_of(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()));
    out.resize(size);
    return out;
}

// Damaged PNGs: what other readers pass over gives the undamaged file's GIF;
// what they refuse is refused with exit 1 and nothing written, without
// taking memory for an image that the data cannot fill.
TEST(GifEncodeTool, DamagedPngsAreReadOrRefusedAsOtherReadersDo) {
    std::string rows;  // 6 x 4 grey, each row after its filter byte (all five kinds)
    for (int y = 0; y < 4; ++y) {
        rows += char(y % 5);
        for (int x = 0; x < 6; ++x) rows += char(x * 40 + y);
    }
    std::string last_filter_five = rows;
    last_filter_five[3 * 7] = 5;
    const std::string stream = zlib_of(rows);
    // The rows in a stored block, then a block of the reserved type.
    const std::string stored_then_bad_block = std::string{0x78, 0x01, 0x00, char(rows.size()), 0, char(~rows.size()), -1} +
                                              rows + std::string{0x07};
    const std::string good = grey_png(6, 4, stream);
    std::string bad_data_crc = good;
    bad_data_crc[good.find("IDAT") + 6] ^= 1;
    const struct {
        const char* what;
        std::string png;
        int status;
    } cases[] = {
        {"data in three chunks", grey_png(6, 4, stream, "", 3), 0},
        {"more data than rows", grey_png(6, 4, zlib_of(rows + std::string(100, '\0'))), 0},
        {"far more data than rows", grey_png(6, 4, zlib_of(rows + std::string(1 << 20, '\0'))), 0},
        {"damage after the rows", grey_png(6, 4, stored_then_bad_block), 0},
        {"ancillary chunk with a damaged CRC", grey_png(6, 4, stream, png_chunk("tEXt", "a").substr(0, 9) + std::string(4, '\0')), 0},
        {"data chunk with a damaged CRC", bad_data_crc, 1},
        {"rows missing", grey_png(6, 4, zlib_of(rows.substr(0, 14))), 1},
        {"stream cut", grey_png(6, 4, stream.substr(0, stream.size() / 2)), 1},
        {"unknown filter", grey_png(6, 4, zlib_of(last_filter_five)), 1},
        {"file cut before IEND", good.substr(0, good.size() - 12), 1},
        {"zero width", grey_png(0, 4, stream), 1},
        {"60000 x 60000 from a few bytes", grey_png(60000, 60000, stream), 1},
    };
    const std::string png = temp_path("damaged.png"), gif = temp_path("damaged.gif"), want = temp_path("undamaged.gif");
    kvtest::write_file(png, std::vector<uint8_t>(good.begin(), good.end()));
    expect_run("encode " + png + " -o " + want, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(gif.c_str());
        kvtest::write_file(png, std::vector<uint8_t>(c.png.begin(), c.png.end()));
        expect_run("encode " + png + " -o " + gif, c.status);
        if (c.status == 0) {
            EXPECT_EQ(kvtest::read_file(gif), kvtest::read_file(want));
        } else {
            EXPECT_FALSE(std::filesystem::exists(gif));
        }
    }
    for (const auto& path : {png, gif, want}) std::remove(path.c_str());
}

TEST(GifEncodeTool, ExtensionsGoWhereAskedAndAppendingAddsPages) {
    TestPng p = png_of(PNG_COLOR_TYPE_PALETTE, 8, 4);
    p.plte = giftest::ramp_table(4);
    const std::string a = temp_path("a.png"), gif = temp_path("anim.gif");
    write_test_png(a, p);
    expect_run("encode " + a + " " + a + " -o " + gif + " --loop 3 --comment hello --delay 7 --disposal 2 --interlace", 0);
    auto read = read_gif(gif);
    ASSERT_TRUE(read.ok && read.indices.size() == 2);
    EXPECT_EQ(read.version, "GIF89a");
    const std::vector<giftest::GiflibBlock> first{
        {APPLICATION_EXT_FUNC_CODE, {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 1, 3, 0}},
        {COMMENT_EXT_FUNC_CODE, {'h', 'e', 'l', 'l', 'o'}},
        {GRAPHICS_EXT_FUNC_CODE, {2 << 2, 7, 0, 255}},
    };
    EXPECT_EQ(read.blocks[0], first);
    EXPECT_EQ(read.blocks[1], std::vector<giftest::GiflibBlock>{first.back()});
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(interlaced(read.descriptors[i]));
        EXPECT_EQ(read.indices[i], std::vector<uint8_t>(p.samples.begin(), p.samples.end()));
    }

    // Appending in place: the old pages stay byte for byte, up to the old trailer.
    const std::vector<uint8_t> before = kvtest::read_file(gif);
    TestPng other = png_of(PNG_COLOR_TYPE_RGB, 8, 256, 11);
    const std::string b = temp_path("b.png");
    write_test_png(b, other);
    expect_run("encode " + b + " -o " + gif + " --append", 0);
    const std::vector<uint8_t> after = kvtest::read_file(gif);
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end() - 1, after.begin()));
    read = read_gif(gif);
    ASSERT_TRUE(read.ok && read.indices.size() == 3);
    for (size_t i = 0; i < 35; ++i)
        EXPECT_EQ(std::vector<uint8_t>(read.rgb[2].begin() + read.indices[2][i] * 3,
                                       read.rgb[2].begin() + read.indices[2][i] * 3 + 3),
                  *shown(other, i));

    // A new file's screen holds its largest page, wherever that comes.
    TestPng large{.color_type = PNG_COLOR_TYPE_GRAY, .width = 9, .height = 8};
    large.samples.assign(9 * 8, 200);
    const std::string big = temp_path("big.png"), grown = temp_path("grown.gif");
    write_test_png(big, large);
    expect_run("encode " + a + " " + big + " -o " + grown, 0);
    EXPECT_EQ(read_gif(grown).screen.substr(0, 4), "9x8 ");

    // A failed append leaves the file as it was (a page larger than the
    // screen among them); a failed new file is not written.
    const std::string not_gif = temp_path("not.gif"), fresh = temp_path("fresh.gif");
    std::filesystem::copy_file(a, not_gif, std::filesystem::copy_options::overwrite_existing);
    for (const std::string& args : {"encode " + b + " /nonexistent.png -o " + gif + " --append",
                                    "encode " + big + " -o " + gif + " --append",
                                    "encode " + b + " -o " + not_gif + " --append",
                                    "encode " + b + " " + gif + " -o " + fresh}) {
        expect_run(args, 1);
        EXPECT_EQ(kvtest::read_file(gif), after);
        EXPECT_EQ(kvtest::read_file(not_gif), kvtest::read_file(a));
        EXPECT_FALSE(std::filesystem::exists(fresh));
    }

    // A PNG wider than a GIF page can be is refused, saying so.
    TestPng too_wide{.color_type = PNG_COLOR_TYPE_GRAY, .width = 70000, .height = 1};
    too_wide.samples.assign(70000, 9);
    const std::string wide = temp_path("wide.png");
    write_test_png(wide, too_wide);
    EXPECT_TRUE(kvtest::contains(expect_run("encode " + wide + " -o " + fresh, 1).out,
                                 wide + ": PNG: image larger than a GIF can hold (65535 pixels a side)"));
    std::remove(wide.c_str());

    // Version 87a holds no extension blocks.
    expect_run("encode " + a + " -o " + gif + " --gif87a", 0);
    read = read_gif(gif);
    EXPECT_EQ(read.version, "GIF87a");
    ASSERT_EQ(read.indices.size(), 1u);
    EXPECT_TRUE(read.blocks[0].empty() && read.after_last.empty());
    for (const std::string& path : {a, b, big, grown, gif, not_gif}) std::remove(path.c_str());
}

TEST(GifCopyTool, CopiesReadAsTheOriginal) {
    KVTEST_NEEDS_CORPUS();
    const struct {
        const char* file;
        const char* version = nullptr;  // the copy's, when not the original's
    } cases[] = {
        {"gif/giflib/welcome2.gif"},
        {"gif/giflib/treescap-interlaced.gif"},
        {"gif/pillow/comment_after_last_frame.gif"},
        {"gif/oiio/gif_test_loop_count.gif"},
        {"gif/giflib/porsche.gif"},  // 87a without extensions stays 87a
        {"gif/pygif/depth2.gif"},    // 89a pages without extensions gain the default graphic control
        // 87a with graphic controls before its images: 89a keeps them.
        {"gif/pillow/background_outside_palette.gif", "GIF89a"},
    };
    const std::string copy = temp_path("copy.gif");
    for (const auto& e : cases) {
        SCOPED_TRACE(e.file);
        const std::string original = kvtest::corpus_path(e.file);
        expect_run("copy " + original + " -o " + copy, 0);
        const auto read = read_gif(original);
        ASSERT_TRUE(read.ok);
        const auto copied = read_gif(copy);
        EXPECT_EQ(copied.version, e.version != nullptr ? e.version : read.version);
        giftest::expect_same_gif(copied, read);
    }

    // Extension data keeps its sub-blocks as they were cut: everything
    // before the first image comes out byte for byte (an application block of
    // 3 + 5 bytes, of 5 + 5, comments of 2 + 3 and of 255 + 1 + 255 bytes).
    const std::string cut = temp_path("cut.gif");
    kvtest::write_file(cut, giftest::GifFile::screen(1, 1)
                                .comment({"ab", "cde"})
                                .comment({std::string(255, 'x'), "y", std::string(255, 'z')})
                                .image_of(1, 1, {0}, 2)
                                .trailer()
                                .bytes);
    const std::vector<uint8_t> first_image = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0};
    for (const std::string& original : {kvtest::corpus_path("gif/pygif/loop-animexts.gif"),
                                        kvtest::corpus_path("gif/pygif/unknown-application-extension.gif"), cut}) {
        SCOPED_TRACE(original);
        expect_run("copy " + original + " -o " + copy, 0);
        const auto before = kvtest::read_file(original), after = kvtest::read_file(copy);
        const auto image = std::search(before.begin(), before.end(), first_image.begin(), first_image.end());
        ASSERT_NE(image, before.end());
        const auto length = image - before.begin() + first_image.size();
        ASSERT_GE(after.size(), size_t(length));
        EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + length), std::vector<uint8_t>(before.begin(), image + first_image.size()));
    }
    std::remove(cut.c_str());

    // Interlacing can be changed; the pixels stay.
    const std::string interlaced_file = kvtest::corpus_path("gif/giflib/treescap-interlaced.gif");
    expect_run("copy " + interlaced_file + " -o " + copy + " --no-interlace", 0);
    const auto flat = read_gif(copy);
    ASSERT_EQ(flat.indices.size(), 1u);
    EXPECT_FALSE(interlaced(flat.descriptors[0]));
    EXPECT_EQ(flat.indices[0], read_gif(interlaced_file).indices[0]);

    // A file without a trailer comes out with one, its error a warning.
    const kvtest::ToolRun run =
        expect_run("copy " + kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif") + " -o " + copy, 0);
    EXPECT_TRUE(kvtest::contains(run.out, "warning: error -2100")) << run.out;
    EXPECT_EQ(kvtest::read_file(copy).back(), 0x3B);
    const auto whole = read_gif(copy);
    EXPECT_TRUE(whole.ok && whole.indices.size() == 15);
    std::remove(copy.c_str());
}

TEST(GifWriteTool, UsageErrorsExitTwo) {
    const std::string png = temp_path("usage.png"), gif = temp_path("usage.gif");
    for (const std::string& args : std::vector<std::string>{
         "encode", "encode " + png, "encode -o " + gif, "encode " + png + " -o " + gif + " --delay 65536",
          "encode " + png + " -o " + gif + " --disposal 8", "encode " + png + " -o " + gif + " --loop x",
          "encode " + png + " -o " + gif + " --gif87a --comment hi", "encode " + png + " -o " + gif + " --gif87a --delay 1",
          "encode " + png + " -o " + gif + " --append --loop 0", "encode " + png + " -o " + gif + " --bogus",
          std::string("copy"), "copy " + gif, "copy " + gif + " " + gif + " -o " + gif,
          "copy " + gif + " -o " + gif + " --interlace --no-interlace"})
        expect_run(args, 2);
    EXPECT_FALSE(std::filesystem::exists(gif));
}

}  // namespace
