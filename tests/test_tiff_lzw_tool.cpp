// kvlzw lzw compress|decompress, kvlzw decode --raw, and TIFFs decoded to
// PNG, run as a user would.
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <png.h>

namespace {

using kvtest::ToolRun;
using kvtest::write_file;

TEST(TiffLzwTool, CompressAndDecompressBareStreams) {
    const std::string in = kvtest::temp_path("in.bin"), packed = kvtest::temp_path("packed.lzw"),
                      back = kvtest::temp_path("back.bin");
    std::mt19937 rng(5);
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 700 < 350 ? i / 900 : rng() % 4);
    write_file(in, data);

    ToolRun c = kvtest::run_tool("lzw compress " + in + " -o " + packed);
    ASSERT_EQ(c.status, 0) << c.out;
    const auto stream = kvtest::read_file(packed);
    EXPECT_LT(stream.size(), data.size() / 2);
    EXPECT_EQ(oracle::libtiff_decode(stream, 1000, 200), data) << "libtiff reads what the tool wrote";

    // Decoded to the end code, to a given size, and with fill order 2 from
    // the same stream with every byte bit-reversed.
    std::vector<uint8_t> reversed(stream);
    for (auto& b : reversed) b = tlzw::reverse_bits(b);
    write_file(in + ".rev", reversed);
    std::vector<uint8_t> first1000(data.begin(), data.begin() + 1000);
    for (const auto& [args, want] : {std::pair{packed + " -o " + back, &data},
                                     std::pair{packed + " -o " + back + " --size 1000", &first1000},
                                     std::pair{in + ".rev -o " + back + " --fill-order 2", &data}}) {
        ToolRun d = kvtest::run_tool("lzw decompress " + args);
        ASSERT_EQ(d.status, 0) << args << ": " << d.out;
        EXPECT_EQ(kvtest::read_file(back), *want) << args;
    }
}

TEST(TiffLzwTool, DecodeRawRasters) {
    KVTEST_NEEDS_CORPUS();
    // The aligned file holds the plain one's rows in rows of 160 bytes (the
    // loader's tests compare both with libtiff).
    const std::string raw = kvtest::corpus_path("raw/derived/gray8-157x151-align4.raw");
    const std::string out = ::testing::TempDir() + "kvlzw_tool_raw.bin";
    const std::string size = " --raw --width 157 --height 151 --bpp 8 --fill-order 1";
    ToolRun r = kvtest::run_tool("decode " + raw + size + " --align 4 -o " + out);
    ASSERT_EQ(r.status, 0) << r.out;
    const auto rows = kvtest::read_file(out);
    ASSERT_EQ(kvtest::run_tool("decode " + kvtest::corpus_path("raw/derived/gray8-157x151.raw") + size + " -o " + out).status, 0);
    ASSERT_EQ(rows.size(), 157u * 151);
    EXPECT_EQ(rows, kvtest::read_file(out));

    // 16-bit grey, and the colour depths: PNG samples in the data's order
    // (16-bit ones least significant byte first), the data compressed here.
    const std::string png = ::testing::TempDir() + "kvlzw_tool_raw.png";
    const std::string lzw = ::testing::TempDir() + "kvlzw_tool_raw.lzw";
    const struct {
        uint32_t bpp;
        int color_type;
    } depths[] = {{16, PNG_COLOR_TYPE_GRAY}, {24, PNG_COLOR_TYPE_RGB}, {32, PNG_COLOR_TYPE_RGBA},
                  {48, PNG_COLOR_TYPE_RGB}, {64, PNG_COLOR_TYPE_RGBA}};
    for (const auto& d : depths) {
        SCOPED_TRACE("--bpp " + std::to_string(d.bpp));
        const uint32_t width = 13, height = 7, bytes = d.bpp == 24 || d.bpp == 32 ? 1 : 2;
        std::vector<uint8_t> data(size_t{width} * height * d.bpp / 8);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + i / 5);
        kvtest::write_file(out, data);
        ASSERT_EQ(kvtest::run_tool("lzw compress " + out + " -o " + lzw).status, 0);
        ToolRun p = kvtest::run_tool("decode " + lzw + " --raw --width 13 --height 7 --bpp " + std::to_string(d.bpp) +
                                     " --fill-order 1 -o " + png);
        EXPECT_EQ(p.status, 0) << p.out;
        const kvtest::Png got = kvtest::read_png(png);
        EXPECT_EQ(std::pair(got.color_type, got.bit_depth), std::pair(d.color_type, int(bytes * 8)));
        std::vector<uint32_t> samples;
        for (size_t i = 0; i < data.size(); i += bytes) samples.push_back(bytes == 1 ? data[i] : data[i] | data[i + 1] << 8);
        EXPECT_EQ(got.samples, samples);
    }
    std::remove(lzw.c_str());
}

// A one-strip LZW TIFF written by libtiff from the samples given.
struct TiffSpec {
    uint32_t width = 2, height = 1;
    uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG, extra = 0;
};
std::string write_tiff(const std::string& name, const TiffSpec& t, const std::vector<uint8_t>& samples) {
    const std::string path = kvtest::temp_path(name);
    TIFF* tif = oracle::open_lzw_tiff(path, t.width, t.height, t.bps, t.spp, t.photometric, t.height, t.planar);
    EXPECT_NE(tif, nullptr);
    if (t.extra != 0 || (t.spp == 2 && t.photometric == PHOTOMETRIC_PALETTE)) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &t.extra);
    if (t.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> map(3 * 256);
        for (size_t i = 0; i < 256; ++i) map[i] = map[256 + i] = map[512 + i] = static_cast<uint16_t>(i * 257);
        map[5] = 0xFFFF, map[256 + 5] = 0x8000, map[512 + 5] = 0;  // entry 5: orange
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    }
    const uint32_t planes = t.planar == PLANARCONFIG_SEPARATE ? t.spp : 1;
    const size_t per_strip = samples.size() / planes;
    for (uint32_t p = 0; p < planes; ++p)
        EXPECT_GE(TIFFWriteEncodedStrip(tif, p, const_cast<uint8_t*>(samples.data() + p * per_strip),
                                        static_cast<tmsize_t>(per_strip)), 0);
    TIFFClose(tif);
    return path;
}

// 12-bit samples packed most significant bit first.
std::vector<uint8_t> pack12(const std::vector<uint32_t>& values) {
    tlzw::BitWriter w;
    for (uint32_t v : values) w.put(v, 12);
    return w.bytes();
}

TEST(TiffTool, PngKindsAndSamplesAreWhatAViewerExpects) {
    KVTEST_NEEDS_CORPUS();
    const std::string png = kvtest::temp_path("tiff_tool.png");
    const struct {
        const char* what;
        TiffSpec spec;
        std::vector<uint8_t> samples;
        int color_type, significant;
        std::vector<uint32_t> want;
    } cases[] = {
        // 12 bits fill the 16-bit range, with their depth in sBIT.
        {"12-bit grey", {.width = 3, .bps = 12}, pack12({0, 2048, 4095}), PNG_COLOR_TYPE_GRAY, 12,
         {0, 2048u * 65535 / 4095, 65535}},
        {"12-bit RGB in separate planes", {.width = 2, .bps = 12, .spp = 3, .photometric = PHOTOMETRIC_RGB, .planar = PLANARCONFIG_SEPARATE},
         [] { auto r = pack12({4095, 0}), g = pack12({0, 4095}), b = pack12({4095, 4095});
              r.insert(r.end(), g.begin(), g.end()); r.insert(r.end(), b.begin(), b.end()); return r; }(),
         PNG_COLOR_TYPE_RGB, 12, {65535, 0, 65535, 0, 65535, 65535}},
        // Premultiplied colour divided by alpha again (rounded); zero alpha stays zero.
        {"associated alpha", {.width = 2, .spp = 4, .photometric = PHOTOMETRIC_RGB, .extra = EXTRASAMPLE_ASSOCALPHA},
         {50, 100, 128, 128, 9, 9, 9, 0}, PNG_COLOR_TYPE_RGB_ALPHA, 0, {100, 199, 255, 128, 0, 0, 0, 0}},
        {"unassociated alpha kept", {.width = 1, .spp = 4, .photometric = PHOTOMETRIC_RGB, .extra = EXTRASAMPLE_UNASSALPHA},
         {50, 100, 128, 128}, PNG_COLOR_TYPE_RGB_ALPHA, 0, {50, 100, 128, 128}},
        // A palette index with an extra sample: RGBA when it is alpha, RGB otherwise.
        {"palette with alpha", {.width = 2, .spp = 2, .photometric = PHOTOMETRIC_PALETTE, .extra = EXTRASAMPLE_UNASSALPHA},
         {5, 200, 7, 10}, PNG_COLOR_TYPE_RGB_ALPHA, 0, {255, 128, 0, 200, 7, 7, 7, 10}},
        {"palette with another sample", {.width = 2, .spp = 2, .photometric = PHOTOMETRIC_PALETTE, .extra = EXTRASAMPLE_UNSPECIFIED},
         {5, 200, 7, 10}, PNG_COLOR_TYPE_RGB, 0, {255, 128, 0, 7, 7, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string tif = write_tiff("tool_case.tif", c.spec, c.samples);
        const ToolRun r = kvtest::run_tool("decode " + tif + " -o " + png);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "");
        const kvtest::Png p = kvtest::read_png(png);
        EXPECT_EQ(p.color_type, c.color_type);
        EXPECT_EQ(p.significant, c.significant);
        EXPECT_EQ(p.samples, c.want);
    }
    // Corpus files of every kind get the PNG colour type and depth that hold
    // them, and the same samples at every compression level (each level
    // filters the rows its own way). (A TIFF's .bin holds the delivered
    // rows: the damaged-strip cross-check.)
    const struct {
        const char* file;
        int color_type, bit_depth;
    } files[] = {
        {"tiff/derived/minisblack-1c-16b-lzw-pred2-le.tif", PNG_COLOR_TYPE_GRAY, 16},
        {"tiff/pillow/tiff_16bit_RGBa.tiff", PNG_COLOR_TYPE_RGB_ALPHA, 16},
        {"tiff/derived/palette-1c-4b-lzw.tif", PNG_COLOR_TYPE_PALETTE, 8},
        {"tiff/derived/cmyk-8b-contig-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/derived/cmyk-16b-planar-lzw-pred2.tif", PNG_COLOR_TYPE_RGB, 16},
        {"tiff/derived/hopper-Lab-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/image-tiff/libtiffpic/ycbcr-cat.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/pillow/rdf.tif", PNG_COLOR_TYPE_RGB_ALPHA, 8},  // palette plus alpha
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const ToolRun r = kvtest::run_tool("decode " + kvtest::corpus_path(f.file) + " -o " + png);
        ASSERT_EQ(r.status, 0) << r.out;
        const kvtest::Png p = kvtest::read_png(png);
        EXPECT_EQ(std::pair(p.color_type, p.bit_depth), std::pair(f.color_type, f.bit_depth));
        for (const char* level : {" --png-level 0", " --png-level 9"}) {
            ASSERT_EQ(kvtest::run_tool("decode " + kvtest::corpus_path(f.file) + level + " -o " + png).status, 0);
            EXPECT_EQ(kvtest::read_png(png).samples, p.samples) << level;
        }
    }
}

}  // namespace
