// Row reconstruction seen through the strip service: predictor, YCbCr,
// WhiteIsZero and packed RGB, one row or a few, for the cases the libtiff
// cross-check does not reach (CIELab, WhiteIsZero with an extra sample and
// 16-bit separate planes are among its variants).
#include "tiff_strip_test_util.h"

using kvhost::colorspace::kGrey;
using kvhost::colorspace::kGreyAlpha;
using kvhost::colorspace::kRgb;
using tstrip::Call;
using tstrip::make_dib;

namespace {

tstrip::Result one_strip(const std::vector<uint8_t>& bytes, HostDibInfo* dib, Call c) {
    const auto file = tstrip::build_file({bytes}, &c.offsets);
    c.rps = static_cast<int32_t>(dib->height);
    return tstrip::run(file, dib, c);
}

}  // namespace

TEST(TiffRows, OneRowConversions) {
    const Call rgb{.photometric = 2, .predictor = 2, .bps = {8, 8, 8}};
    const Call grey16{.predictor = 2, .bps = {16}, .byte_order = 1};
    const struct {
        const char* what;
        uint32_t width, channels, bpc, colorspace;
        Call call;
        std::vector<uint8_t> strip, row;
        std::vector<int64_t> depths = {};
    } cases[] = {
        {"predictor: the second pixel adds the first's samples", 2, 3, 8, kRgb, rgb,
         {10, 20, 30, 1, 2, 3}, {10, 20, 30, 11, 22, 33}},
        {"predictor sums wrap modulo 256", 2, 3, 8, kRgb, rgb, {200, 100, 255, 100, 200, 2},
         {200, 100, 255, 44, 44, 1}},
        {"predictor on a row shorter than two pixels", 1, 3, 8, kRgb, rgb, {10, 20, 30}, {10, 20, 30}},
        {"predictor 3", 2, 3, 8, kRgb, Call{.photometric = 2, .predictor = 3, .bps = {8, 8, 8}},
         {10, 20, 30, 1, 2, 3}, {10, 20, 30, 1, 2, 3}},
        // The host keeps words least significant byte first.
        {"predictor, big-endian words 256 + 1", 2, 1, 16, kGrey, grey16, {0x01, 0x00, 0x00, 0x01},
         {0x00, 0x01, 0x01, 0x01}},
        {"predictor, little-endian words 0xFFFF + 2 wrap", 2, 1, 16, kGrey,
         Call{.predictor = 2, .bps = {16}, .byte_order = 0}, {0xFF, 0xFF, 0x02, 0x00}, {0xFF, 0xFF, 0x01, 0x00}},
        {"WhiteIsZero without extra samples inverts both", 2, 2, 8, kGreyAlpha,
         Call{.photometric = 0, .bps = {8, 8}, .extra = 0}, {0, 255, 10, 200}, {255, 0, 245, 55}},
        {"WhiteIsZero 16-bit: the word inverted after the byte order change", 1, 1, 16, kGrey,
         Call{.photometric = 0, .bps = {16}, .byte_order = 1}, {0x12, 0x34}, {0xCB, 0xED}},
        // With an extra sample, the whole grey sample is inverted and alpha kept.
        {"WhiteIsZero 32-bit grey with alpha", 1, 2, 32, kGreyAlpha,
         Call{.photometric = 0, .bps = {32, 32}, .extra = 1}, {1, 2, 3, 4, 5, 6, 7, 8}, {0xFE, 0xFD, 0xFC, 0xFB, 5, 6, 7, 8}},
        // Pure red, green, blue in 5-6-5 little-endian words, then 0x8410:
        // red 16 of 31, green 32 of 63, blue 16 of 31, scaled to bytes.
        {"packed RGB 5-6-5", 4, 3, 8, kRgb, Call{.photometric = 2, .bps = {5, 6, 5}},
         {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84}, {255, 0, 0, 0, 255, 0, 0, 0, 255, 132, 130, 132}, {5, 6, 5}},
        // The host row (one grey byte a pixel) is shorter than the TIFF row.
        {"plain copy never writes past a short host row", 3, 1, 8, kGrey, Call{.bps = {8, 8}},
         {40, 41, 42, 43, 44, 45}, {40, 41, 42}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto dib = make_dib(c.width, 1, c.channels, c.bpc, c.colorspace, c.depths);
        const auto r = one_strip(c.strip, dib.get(), c.call);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(tstrip::row_of(r, 0), c.row);
        EXPECT_EQ(r.blocks_left, 0u);
    }
}

TEST(TiffRows, PackedPixelMasksAreSixtyFourBitsWide) {
    // One 64-bit mask per channel; bits above the pixel's 16 select nothing.
    const uint64_t masks[] = {0xF800 | (uint64_t{0xFFFF} << 32), 0x07E0, 0x001F};
    const uint8_t pixel[] = {0xE0, 0x07};  // pure green, little-endian
    uint8_t rgb[3] = {1, 1, 1};
    EXPECT_EQ(kvhost::service_table().iKV_IP_raster_unpack_masked(16, 3, masks, 8, 1, pixel, rgb, 2), 0);
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), (std::vector<uint8_t>{0, 255, 0}));
}

TEST(TiffRows, PredictorOnFourBitSamplesIsRefusedPerRow) {
    auto dib = make_dib(4, 2, 1, 4, kvhost::colorspace::kPalette, {4});
    const auto r = one_strip({0x12, 0x34, 0x56, 0x78}, dib.get(), Call{.predictor = 2, .bps = {4}});
    EXPECT_NE(r.status, 0);
    ASSERT_FALSE(r.errors.empty());
    EXPECT_EQ(r.errors[0].code, -200);
    EXPECT_EQ(r.errors[0].module, "Common/Components/LZW/tiflzw");
    EXPECT_EQ(r.blocks_left, 0u);
}

TEST(TiffRows, YCbCrSampleValuesAndCoefficientFallback) {
    // One pixel per block (1 x 1): Y, Cb, Cr.
    const std::vector<uint8_t> blocks = {128, 128, 128, 100, 128, 128, 255, 128, 128, 0, 128, 128, 76, 85, 255};
    const std::vector<uint8_t> expected = {128, 128, 128, 100, 99, 100, 255, 254, 255, 0, 0, 0, 254, 0, 0};
    auto dib = make_dib(5, 1, 3, 8, kRgb);
    Call c{.photometric = 6, .bps = {8, 8, 8}, .tif = {.has_subsampling = true, .subsampling = {1, 1}}};
    auto r = one_strip(blocks, dib.get(), c);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(tstrip::row_of(r, 0), expected);

    // The same coefficients given as rationals give the same rows; rationals
    // that would divide by zero fall back to the defaults instead of NaN.
    c.tif.has_coefficients = true;
    const uint32_t given[6] = {299, 1000, 587, 1000, 114, 1000};
    std::copy(given, given + 6, c.tif.coefficients);
    EXPECT_EQ(tstrip::row_of(one_strip(blocks, dib.get(), c), 0), expected);
    c.tif.coefficients[1] = 0;  // Kr denominator
    EXPECT_EQ(tstrip::row_of(one_strip(blocks, dib.get(), c), 0), expected);
    c.tif.coefficients[1] = 1000;
    c.tif.coefficients[2] = 0;  // Kg = 0
    EXPECT_EQ(tstrip::row_of(one_strip(blocks, dib.get(), c), 0), expected);

    // Other coefficients do change the result (so the tag is read at all).
    c.tif.coefficients[2] = 587;
    c.tif.coefficients[4] = 300;  // Kb 0.3
    EXPECT_NE(tstrip::row_of(one_strip(blocks, dib.get(), c), 0), expected);
}

TEST(TiffRows, YCbCrBlocksCoverPartialBlocksAndStopAtTheHeight) {
    // 3 x 3 image in 2 x 2 blocks: 2 blocks per row, 2 rows of blocks; the
    // last block column and the fourth row fall outside the image.
    auto dib = make_dib(3, 3, 3, 8, kRgb);
    const Call c{.photometric = 6, .bps = {8, 8, 8}, .tif = {.has_subsampling = true, .subsampling = {2, 2}}};
    // Grey blocks (Cb = Cr = 128) of luma values whose RGB is known:
    // 0 -> 0,0,0; 100 -> 100,99,100; 128 -> 128,128,128; 255 -> 255,254,255.
    const std::vector<uint8_t> data = {0,   100, 128, 255, 128, 128,   // block row 0
                                       100, 128, 255, 0,   128, 128,
                                       128, 0,   100, 255, 128, 128,   // block row 1
                                       100, 100, 100, 100, 128, 128};
    const auto r = one_strip(data, dib.get(), c);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.image->rows_delivered, 3u);
    EXPECT_EQ(r.image->row_order, (std::vector<int64_t>{0, 1, 2}));
    // Row 1 is the second luma row of the first block row.
    EXPECT_EQ(tstrip::row_of(r, 1), (std::vector<uint8_t>{128, 128, 128, 255, 254, 255, 255, 254, 255}));
    EXPECT_EQ(tstrip::row_of(r, 2), (std::vector<uint8_t>{128, 128, 128, 0, 0, 0, 100, 99, 100}));
    EXPECT_EQ(r.blocks_left, 0u);
}
