// Cross-check against libtiff: LZW TIFFs written with libtiff's API, and
// every TIFF of the shared corpus (old-style and fill order 2 strips among
// them), decoded through the host's TIFF reader
// and the component's strip service, sample for sample against what
// libtiff decodes from the same file; damaged strips are the ones libtiff
// rejects, and the tool says which.
//
// The expected host rows are libtiff's decoded strips put into the host row
// layout: packed 1-bit rows as they are, 4-bit samples one per byte, wide
// samples as little-endian words, planes interleaved. YCbCr is compared with
// libtiff's RGBA conversion within 3 levels, for pixels whose red and blue do
// not clip.
#include "tiff_oracle.h"
#include "tiff_strip_test_util.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

struct Variant {
    std::string name;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t spp = 1;
    uint16_t bps = 8;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t predictor = 1;
    bool big_endian = false;
    uint16_t extra = 0;  // ExtraSamples value for one extra sample, 0 for none
    uint16_t sub_h = 0, sub_v = 0;
    uint32_t width = 37, height = 23, rows_per_strip = 5;
};

// Writes the variant with libtiff as the current directory of `tif`. Every
// strip (libtiff sizes it, subsampled blocks and planes included) holds
// smooth bytes with some noise (seeded by the image size), so that the
// predictor has work to do, kept to 100-155 so that YCbCr stays in gamut.
void write_variant(TIFF* tif, const Variant& v) {
    oracle::set_lzw_layout(tif, v.width, v.height, v.bps, v.spp, v.photometric, v.rows_per_strip, v.planar);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, v.predictor);
    if (v.extra != 0) {
        uint16_t kinds[1] = {v.extra};
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, kinds);
    }
    if (v.photometric == PHOTOMETRIC_PALETTE) {
        // Red, green and blue entries, all different (an odd factor).
        const size_t n = size_t{1} << v.bps;
        std::vector<uint16_t> map(3 * n);
        for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 40503);
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
    }
    if (v.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, v.sub_h, v.sub_v);
        float ref[6] = {0, 255, 128, 255, 128, 255};
        TIFFSetField(tif, TIFFTAG_REFERENCEBLACKWHITE, ref);
    }
    std::mt19937 noise(v.width * v.height);
    const uint32_t strips_per_plane = (v.height + v.rows_per_strip - 1) / v.rows_per_strip;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
        const uint32_t first = s % strips_per_plane * v.rows_per_strip;
        const uint32_t rows = std::min(v.height - first, v.rows_per_strip);
        std::vector<uint8_t> data(static_cast<size_t>(TIFFVStripSize(tif, rows)));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(100 + (i * 5 + first * 3 + s * 40 + noise() % 7) % 56);
        ASSERT_GE(TIFFWriteEncodedStrip(tif, s, data.data(), static_cast<tmsize_t>(data.size())), 0);
    }
}

// The host rows libtiff's decode implies, height rows back to back, with
// the service's own finishing touches: WhiteIsZero inverts every sample (only
// the grey one when extra samples are interleaved with it), CIELab flips the
// top bit of a* and b*.
std::vector<uint8_t> expected_rows(TIFF* tif, const kvhost::TiffImage& t, uint32_t host_row) {
    std::vector<uint8_t> out(size_t{host_row} * t.height, 0);
    const uint32_t spp = static_cast<uint32_t>(t.samples_per_pixel);
    const uint32_t bits = static_cast<uint32_t>(t.bits_per_sample[0]);
    const bool planar = t.planar_config == 2, white = t.photometric == PHOTOMETRIC_MINISWHITE;
    const bool grey_only = t.extra_samples != 0 && !planar;
    const uint32_t per_row = planar ? 1 : spp, planes = planar ? spp : 1, rows = t.rows_per_strip;
    const size_t tiff_row = (size_t{bits} * per_row * t.width + 7) / 8, bytes = bits <= 8 ? 1 : 2;
    std::vector<uint8_t> strip(static_cast<size_t>(TIFFStripSize(tif)));
    for (uint32_t p = 0; p < planes; ++p) {
        for (uint32_t s = 0; s < static_cast<uint32_t>(t.strips_per_plane); ++s) {
            const tmsize_t size = static_cast<tmsize_t>(strip.size());
            if (TIFFReadEncodedStrip(tif, p * t.strips_per_plane + s, strip.data(), size) < 0) continue;
            for (uint32_t r = 0; r < rows && s * rows + r < t.height; ++r) {
                const uint8_t* in = strip.data() + r * tiff_row;
                uint8_t* row = out.data() + size_t{s * rows + r} * host_row;
                for (size_t i = 0; bits == 1 && i < tiff_row; ++i)
                    row[i] = static_cast<uint8_t>(white ? ~in[i] : in[i]);
                for (uint32_t x = 0; bits > 1 && x < t.width; ++x) {
                    for (uint32_t c = 0; c < per_row; ++c) {
                        const size_t src = size_t{x} * per_row + c, sample = c + p;
                        // 16-bit words come native from libtiff, others packed most significant bit first.
                        uint32_t value = bits == 16 ? in[src * 2] | in[src * 2 + 1] << 8 : 0;
                        for (size_t bit = src * bits; bits != 16 && bit < (src + 1) * bits; ++bit)
                            value = value << 1 | ((in[bit / 8] >> (7 - bit % 8)) & 1);
                        if (white && (sample == 0 || !grey_only)) value ^= (1u << bits) - 1;
                        if (t.photometric == PHOTOMETRIC_CIELAB && sample > 0) value ^= 0x80u << (8 * (bytes - 1));
                        for (size_t b = 0; b < bytes; ++b)
                            row[(size_t{x} * spp + sample) * bytes + b] = static_cast<uint8_t>(value >> (8 * b));
                    }
                }
            }
        }
    }
    return out;
}

// YCbCr: libtiff's RGBA conversion against ours, for pixels that do not
// clip. Returns the number of pixels compared.
size_t compare_ycbcr(TIFF* tif, const kvhost::LoadedImage& image, const kvhost::TiffImage& t) {
    std::vector<uint32_t> rgba(size_t{t.width} * t.height);
    EXPECT_EQ(TIFFReadRGBAImageOriented(tif, t.width, t.height, rgba.data(), ORIENTATION_TOPLEFT, 0), 1);
    size_t compared = 0;
    int worst = 0;
    for (uint32_t y = 0; y < t.height; ++y) {
        for (uint32_t x = 0; x < t.width; ++x) {
            const uint32_t p = rgba[size_t{y} * t.width + x], want[3] = {TIFFGetR(p), TIFFGetG(p), TIFFGetB(p)};
            const uint8_t* got = image.row(y) + size_t{x} * 3;
            // Clipped red or blue changes green in our formula by design.
            if (want[0] == 0 || want[0] == 255 || want[2] == 0 || want[2] == 255) continue;
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int{got[c]} - static_cast<int>(want[c])));
            ++compared;
        }
    }
    EXPECT_LE(worst, 3);
    return compared;
}

// Loads through the host reader and compares with libtiff's decode.
void check_file(const std::string& path, uint32_t directory = 0) {
    SCOPED_TRACE(path + " directory " + std::to_string(directory));
    auto stream = kvhost::file_stream(path, kvhost::FileMode::kRead, nullptr);
    ASSERT_NE(stream, nullptr);
    kvhost::clear_errors();
    kvhost::TiffImage t;
    const HostStatus status = kvhost::tiff_load(stream.get(), directory, &t);
    const auto errors = kvhost::error_records();
    kvhost::clear_errors();
    ASSERT_EQ(status, 0) << (errors.empty() ? "" : kvhost::describe(errors[0]));
    ASSERT_NE(stream->sink.image, nullptr);
    const kvhost::LoadedImage& image = *stream->sink.image;
    EXPECT_EQ(image.rows_delivered, t.height);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_TRUE(tif != nullptr && TIFFSetDirectory(tif, static_cast<tdir_t>(directory)));
    if (t.photometric == PHOTOMETRIC_YCBCR) {
        EXPECT_GT(compare_ycbcr(tif, image, t), size_t{t.width} * t.height / 2);
    } else {
        const auto want = expected_rows(tif, t, image.row_size);
        ASSERT_EQ(want.size(), image.pixels.size());
        const size_t diff = std::mismatch(want.begin(), want.end(), image.pixels.begin()).first - want.begin();
        EXPECT_EQ(diff, want.size()) << "first difference at row " << diff / image.row_size << ", byte "
                                     << diff % image.row_size;
    }
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    const size_t colours = TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) ? size_t{1} << t.bits_per_sample[0] : 0;
    ASSERT_TRUE(colours == 0 || image.palette.size() == 4 * colours) << image.palette.size();
    for (size_t i = 0; i < colours; ++i) {
        EXPECT_EQ(image.palette[i * 4 + 2], r[i] >> 8);
        EXPECT_EQ(image.palette[i * 4 + 1], g[i] >> 8);
        EXPECT_EQ(image.palette[i * 4 + 0], b[i] >> 8);
    }
    TIFFClose(tif);
}

// Ends with nothing left allocated; libtiff's warnings about the corpus
// files' oddities are expected noise.
class TiffCrossCheck : public kvtest::CleanTest {
protected:
    void SetUp() override {
        CleanTest::SetUp();
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    }
};

}  // namespace

TEST_F(TiffCrossCheck, FilesWrittenWithLibtiffDecodeToTheSameSamples) {
    const uint16_t white = PHOTOMETRIC_MINISWHITE, rgb = PHOTOMETRIC_RGB, palette = PHOTOMETRIC_PALETTE;
    const uint16_t ycbcr = PHOTOMETRIC_YCBCR, separate = PLANARCONFIG_SEPARATE;
    // Layouts the corpus holds (1-bit WhiteIsZero, 4- and 8-bit grey and
    // palettes, 16-bit grey with and without the predictor, RGB contiguous,
    // planar, predicted, fill order 2 and in one large strip, CIELab, palette
    // with alpha) are left to the corpus check below.
    const Variant variants[] = {
        {.name = "grey1", .bps = 1},
        {.name = "grey12_be", .bps = 12, .big_endian = true},
        {.name = "rgb12", .photometric = rgb, .spp = 3, .bps = 12},
        {.name = "white8", .photometric = white},
        {.name = "white_alpha8", .photometric = white, .spp = 2, .extra = EXTRASAMPLE_ASSOCALPHA},
        {.name = "rgb8_planar_pred2_be", .photometric = rgb, .spp = 3, .planar = separate, .predictor = 2,
         .big_endian = true},
        {.name = "rgb16", .photometric = rgb, .spp = 3, .bps = 16},
        {.name = "rgb16_pred2_be", .photometric = rgb, .spp = 3, .bps = 16, .predictor = 2, .big_endian = true},
        {.name = "rgb16_planar_be", .photometric = rgb, .spp = 3, .bps = 16, .planar = separate, .big_endian = true},
        {.name = "rgb12_planar", .photometric = rgb, .spp = 3, .bps = 12, .planar = separate},
        {.name = "rgba8_associated", .photometric = rgb, .spp = 4, .extra = EXTRASAMPLE_ASSOCALPHA},
        {.name = "rgba8", .photometric = rgb, .spp = 4, .predictor = 2, .extra = EXTRASAMPLE_UNASSALPHA},
        {.name = "rgb8_pred2", .photometric = rgb, .spp = 3, .predictor = 2},
        {.name = "grey16_pred2", .bps = 16, .predictor = 2},
        {.name = "grey_alpha8_pred2", .spp = 2, .predictor = 2, .extra = EXTRASAMPLE_UNASSALPHA},
        {.name = "palette8", .photometric = palette, .big_endian = true},
        {.name = "cmyk8", .photometric = PHOTOMETRIC_SEPARATED, .spp = 4, .predictor = 2},
        {.name = "ycbcr22", .photometric = ycbcr, .spp = 3, .sub_h = 2, .sub_v = 2, .height = 24, .rows_per_strip = 6},
        {.name = "ycbcr21_be", .photometric = ycbcr, .spp = 3, .big_endian = true, .sub_h = 2, .sub_v = 1},
    };
    // A file of each byte order with a directory per variant, each loaded by
    // its number (neighbours differ, so a wrong directory would not match);
    // one past the last is refused.
    for (const bool big_endian : {false, true}) {
        const std::string path = kvtest::temp_path(big_endian ? "variants_be.tif" : "variants_le.tif");
        TIFF* tif = TIFFOpen(path.c_str(), big_endian ? "wb" : "wl");
        ASSERT_NE(tif, nullptr);
        std::vector<std::string> names;
        for (const Variant& v : variants) {
            if (v.big_endian != big_endian) continue;
            write_variant(tif, v);
            ASSERT_EQ(TIFFWriteDirectory(tif), 1);
            names.push_back(v.name);
        }
        TIFFClose(tif);
        for (uint32_t d = 0; d < names.size(); ++d) {
            SCOPED_TRACE(names[d]);
            check_file(path, d);
        }
        auto stream = kvhost::file_stream(path, kvhost::FileMode::kRead, nullptr);
        kvhost::TiffImage t;
        EXPECT_NE(kvhost::tiff_load(stream.get(), static_cast<uint32_t>(names.size()), &t), 0);
        const auto errors = kvhost::error_records();
        kvhost::clear_errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(kvtest::contains(errors[0].text, "no image file directory " + std::to_string(names.size())))
            << errors[0].text;
        std::remove(path.c_str());
    }
}

TEST_F(TiffCrossCheck, EveryCorpusTiffDecodesOrIsRefusedClearly) {
    KVTEST_NEEDS_CORPUS();
    size_t decoded = 0, refused = 0;
    bool old_style_seen = false, fill_order_2_seen = false, four_bit_predictor_seen = false;
    for (const auto& entry : fs::recursive_directory_iterator(kvtest::corpus_path("tiff"))) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tif, nullptr);
        uint16_t compression = 1, predictor = 1, photometric = 0, spp = 1, bps = 1, fill_order = 1;
        TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
        TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        const bool tiled = TIFFIsTiled(tif);
        // Old-style LZW: the first code (a clear) is read from the low bits.
        uint8_t head[2] = {};
        const bool old_style = !tiled && TIFFReadRawStrip(tif, 0, head, 2) == 2 && head[0] == 0 && (head[1] & 1) == 1;
        TIFFClose(tif);
        // A palette index may carry one extra sample, at 8 bits.
        const bool must_refuse = compression != COMPRESSION_LZW || tiled || predictor == 3 ||
                                 (photometric == PHOTOMETRIC_PALETTE && (spp > 2 || (spp == 2 && bps != 8)));
        auto stream = kvhost::file_stream(path, kvhost::FileMode::kRead, nullptr);
        kvhost::clear_errors();
        kvhost::TiffImage t;
        const HostStatus status = kvhost::tiff_describe(stream.get(), 0, &t);
        const auto errors = kvhost::error_records();
        kvhost::clear_errors();
        if (must_refuse) {
            EXPECT_NE(status, 0);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].code, kvhost::host_error::kTiffUnsupported);
            EXPECT_TRUE(kvtest::contains(errors[0].text, "TIFF: "));
            ++refused;
            continue;
        }
        ASSERT_EQ(status, 0) << (errors.empty() ? "" : kvhost::describe(errors[0]));
        if (bps == 4 && predictor == 2) {
            // Predictor 2 on 4-bit samples: refused row by row, with -200.
            auto again = kvhost::file_stream(path, kvhost::FileMode::kRead, nullptr);
            EXPECT_NE(kvhost::tiff_load(again.get(), 0), 0);
            const auto records = kvhost::error_records();
            ASSERT_FALSE(records.empty());
            EXPECT_EQ(records[0].code, -200);
            EXPECT_EQ(records[0].module, "Common/Components/LZW/tiflzw");
            kvhost::clear_errors();
            four_bit_predictor_seen = true;
            continue;
        }
        check_file(path);
        ++decoded;
        old_style_seen |= old_style;
        fill_order_2_seen |= fill_order == 2;
    }
    EXPECT_TRUE(old_style_seen && fill_order_2_seen && four_bit_predictor_seen)
        << "the corpus holds old-style and fill order 2 strips, and predictor 2 on 4-bit samples";
    EXPECT_GE(decoded, 20u);
    EXPECT_GE(refused, 4u);
}

// Replaces the first run of `from` (32-bit values in the file's byte order,
// little-endian here) with `to`.
static void patch_words(std::vector<uint8_t>& file, const std::vector<uint32_t>& from, const std::vector<uint32_t>& to) {
    std::vector<uint8_t> find, put;
    for (uint32_t v : from) for (int b = 0; b < 4; ++b) find.push_back(static_cast<uint8_t>(v >> (8 * b)));
    for (uint32_t v : to) for (int b = 0; b < 4; ++b) put.push_back(static_cast<uint8_t>(v >> (8 * b)));
    const auto at = std::search(file.begin(), file.end(), find.begin(), find.end());
    ASSERT_NE(at, file.end());
    std::copy(put.begin(), put.end(), at);
}

TEST_F(TiffCrossCheck, DamagedStripsAreTheOnesLibtiffRejects) {
    // Seven strips of 2 rows of 6 grey bytes: whole, only clear codes, a code
    // above the next one, whole, then (after patching the strip tables)
    // one past the end of the file and one cut short by it, and last sound
    // codes that end after one row.
    const std::vector<uint8_t> rows_of_77(6, 77);
    const auto whole = tlzw::reference_compress(std::vector<uint8_t>(12, 77));
    const auto clears = tlzw::pack_codes({256, 256, 256, 257}, false);
    const auto bad_code = tlzw::pack_codes({256, 77, 300, 257}, false);
    const auto one_row = tlzw::reference_compress(rows_of_77);
    const std::string path = kvtest::temp_path("damaged.tif");
    TIFF* tif = oracle::open_lzw_tiff(path, 6, 14, 8, 1, PHOTOMETRIC_MINISBLACK, 2);
    ASSERT_NE(tif, nullptr);
    const std::vector<uint8_t>* raw[] = {&whole, &clears, &bad_code, &whole, &whole, &whole, &one_row};
    for (uint32_t s = 0; s < 7; ++s)
        ASSERT_GT(TIFFWriteRawStrip(tif, s, const_cast<uint8_t*>(raw[s]->data()), static_cast<tmsize_t>(raw[s]->size())), 0);
    TIFFClose(tif);
    auto bytes = kvtest::read_file(path);
    tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint64_t* offsets = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets);
    const std::vector<uint32_t> o(offsets, offsets + 7);
    TIFFClose(tif);
    auto moved = o;
    moved[4] = static_cast<uint32_t>(bytes.size() + 100);
    moved[5] = static_cast<uint32_t>(bytes.size() - 2);
    patch_words(bytes, o, moved);
    kvtest::write_file(path, bytes);

    std::vector<uint32_t> rejected;
    tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    std::vector<uint8_t> strip(12);
    for (uint32_t s = 0; s < 7; ++s)
        if (TIFFReadEncodedStrip(tif, s, strip.data(), 12) != 12) rejected.push_back(s);
    TIFFClose(tif);
    EXPECT_EQ(rejected, (std::vector<uint32_t>{1, 2, 4, 5, 6}));

    auto stream = kvhost::file_stream(path, kvhost::FileMode::kRead, nullptr);
    kvhost::TiffImage t;
    std::vector<kvhost::ReadSpan> reads;
    ASSERT_EQ(kvhost::tiff_load(stream.get(), 0, &t, &reads), 0) << "the service decodes damaged strips quietly";
    // Every strip walked, and only those that the scan and the decoder's
    // reads cannot clear: the same strips, for the same reasons.
    const kvhost::StripScan scan = kvhost::tiff_strip_scan(stream.get(), t);
    const auto walked = kvhost::tiff_strip_damage(stream.get(), t);
    const auto cleared = kvhost::tiff_strip_damage(stream.get(), t, &scan, &reads);
    std::vector<uint32_t> damaged;
    for (const auto& d : walked) damaged.push_back(d.strip);
    EXPECT_EQ(damaged, rejected);
    ASSERT_EQ(cleared.size(), walked.size());
    for (size_t i = 0; i < walked.size(); ++i) {
        EXPECT_EQ(cleared[i].strip, walked[i].strip);
        EXPECT_EQ(cleared[i].text, walked[i].text);
    }
    // The whole strips hold the rows libtiff reads from them.
    const kvhost::LoadedImage& image = *stream->sink.image;
    for (uint32_t y : {0u, 1u, 6u, 7u, 12u}) EXPECT_EQ(std::vector<uint8_t>(image.row(y), image.row(y) + 6), rows_of_77) << y;
    for (uint32_t y : {2u, 3u, 8u, 9u, 13u}) EXPECT_EQ(std::vector<uint8_t>(image.row(y), image.row(y) + 6), std::vector<uint8_t>(6, 0)) << y;

    // The tool writes those rows with a warning for each damaged strip;
    // with --strict it writes nothing.
    const std::string bin = kvtest::temp_path("damaged.bin");
    const kvtest::ToolRun lenient = kvtest::run_tool("decode " + path + " -o " + bin);
    EXPECT_EQ(lenient.status, 0);
    EXPECT_TRUE(kvtest::contains(lenient.out, "warning: " + path + ": strip 1: LZW end code after 0 of 12 bytes"))
        << lenient.out;
    EXPECT_TRUE(kvtest::contains(lenient.out, path + ": strip 6: LZW end code after 6 of 12 bytes")) << lenient.out;
    EXPECT_FALSE(kvtest::contains(lenient.out, "strip 0") || kvtest::contains(lenient.out, "strip 3")) << lenient.out;
    EXPECT_EQ(kvtest::read_file(bin), image.pixels);
    std::remove(bin.c_str());
    const kvtest::ToolRun strict = kvtest::run_tool("decode " + path + " --strict -o " + bin);
    EXPECT_EQ(strict.status, 1);
    EXPECT_TRUE(kvtest::contains(strict.out, path + ": strip 1: ")) << strict.out;
    EXPECT_FALSE(fs::exists(bin));
    std::remove(path.c_str());
}
