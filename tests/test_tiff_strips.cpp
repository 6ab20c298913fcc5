// The strip service: strips to rows, short and surplus strips, strips read
// back to back, allocation failures, and the layouts it refuses; then row
// reconstruction (predictor, YCbCr, WhiteIsZero and packed RGB), one row or
// a few, for the cases the libtiff cross-check does not reach (CIELab,
// WhiteIsZero with an extra sample and 16-bit separate planes are among its
// variants).
#include "tiff_strip_test_util.h"

#include <numeric>

using kvhost::colorspace::kGrey;
using kvhost::colorspace::kGreyAlpha;
using kvhost::colorspace::kRgb;
using tstrip::Call;
using tstrip::make_dib;

namespace {

std::vector<uint8_t> counting(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Every record of the result has the layout refusal code, and there is one.
void expect_refused(const tstrip::Result& r, const char* what) {
    EXPECT_NE(r.status, 0) << what;
    ASSERT_EQ(r.errors.size(), 1u) << what;
    EXPECT_EQ(r.errors[0].code, -1010) << what;
    EXPECT_FALSE(r.errors[0].text.empty()) << what;
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(r.image->rows_delivered, 0u) << what;
    EXPECT_EQ(r.allocations, 0u) << what;
    EXPECT_EQ(r.blocks_left, 0u) << what;
}

tstrip::Result one_strip(const std::vector<uint8_t>& bytes, HostDibInfo* dib, Call c) {
    const auto file = tstrip::build_file({bytes}, &c.offsets);
    c.rps = static_cast<int32_t>(dib->height);
    return tstrip::run(file, dib, c);
}

}  // namespace

TEST(TiffStrips, ShortStripIsZeroPaddedAndSurplusRowsAreNotDelivered) {
    // Grey 4 x 5, two strips of 3 rows. Strip 0 holds 1.5 rows without an
    // end code, at the end of the file; strip 1 holds 3 rows of which only 2
    // fall inside the image, and they stay at rows 3 and 4.
    auto dib = make_dib(4, 5, 1, 8, kGrey);
    Call c{.rps = 3, .strip_count = 2};
    std::vector<uint32_t> second;
    auto file = tstrip::build_file({counting(12, 101)}, &second);
    std::vector<uint32_t> codes;
    tlzw::reference_compress(counting(6), &codes);
    codes.pop_back();  // no end code
    const auto cut = tlzw::pack_codes(codes, false);
    c.offsets = {static_cast<uint32_t>(file.size()), second[0]};
    file.insert(file.end(), cut.begin(), cut.end());
    const auto r = tstrip::run(file, dib.get(), c);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.image->row_order, (std::vector<int64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(tstrip::row_of(r, 1), (std::vector<uint8_t>{5, 6, 0, 0}));
    EXPECT_EQ(tstrip::row_of(r, 2), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(tstrip::row_of(r, 3), (std::vector<uint8_t>{101, 102, 103, 104}));
    EXPECT_EQ(tstrip::row_of(r, 4), (std::vector<uint8_t>{105, 106, 107, 108}));
    EXPECT_EQ(r.blocks_left, 0u);
    // One set of decode tables for all strips: 5 tables, strip and row buffer.
    EXPECT_EQ(r.allocations, 7u);
}

TEST(TiffStrips, WithoutOffsetsStripsAreReadBackToBack) {
    auto dib = make_dib(3, 4, 1, 8, kGrey);
    Call c{.rps = 2, .strip_count = 2};
    // The first strip is short, so its end code is read and the stream
    // stands at the start of the second.
    const auto file = tstrip::build_file({counting(5, 10), counting(6, 50)}, &c.offsets);
    c.null_offsets = true;
    const auto r = tstrip::run(file, dib.get(), c, c.offsets[0]);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(tstrip::row_of(r, 1), (std::vector<uint8_t>{13, 14, 0}));
    EXPECT_EQ(tstrip::row_of(r, 2), (std::vector<uint8_t>{50, 51, 52}));
    EXPECT_EQ(tstrip::row_of(r, 3), (std::vector<uint8_t>{53, 54, 55}));
    // Offsets past offset_count are read from where the stream stands too.
    c.null_offsets = false;
    c.offset_count = 1;
    const auto partial = tstrip::run(file, dib.get(), c);
    EXPECT_EQ(tstrip::row_of(partial, 3), (std::vector<uint8_t>{53, 54, 55}));

    // Full YCbCr strips (1 x 2 blocks of grey: Y, Y, Cb, Cr) are decoded up
    // to their end code, so the next one starts right after it.
    auto rgb = make_dib(2, 4, 3, 8, kRgb);
    Call y{.photometric = 6, .bps = {8, 8, 8}, .rps = 2, .strip_count = 2, .null_offsets = true,
           .tif = {.has_subsampling = true, .subsampling = {1, 2}}};
    const auto blocks = tstrip::build_file({{0, 128, 128, 128, 100, 255, 128, 128}, {255, 0, 128, 128, 128, 100, 128, 128}},
                                           &y.offsets);
    const auto full = tstrip::run(blocks, rgb.get(), y, y.offsets[0]);
    ASSERT_EQ(full.status, 0);
    EXPECT_EQ(tstrip::row_of(full, 2), (std::vector<uint8_t>{255, 254, 255, 128, 128, 128}));
    EXPECT_EQ(tstrip::row_of(full, 3), (std::vector<uint8_t>{0, 0, 0, 100, 99, 100}));
    // A failed delivery ends the work after the whole row of blocks, and is
    // what the call reports.
    y.fail_raster_row = 0;
    const auto failed = tstrip::run(blocks, rgb.get(), y, y.offsets[0]);
    EXPECT_NE(failed.status, 0);
    EXPECT_EQ(failed.image->row_order, (std::vector<int64_t>{1}));
}

TEST(TiffStrips, AllocationFailuresRecordTheirSizeAndTagAndLeaveNothing) {
    auto dib = make_dib(4, 2, 1, 8, kGrey);
    Call c{.rps = 2};
    const auto file = tstrip::build_file({counting(8)}, &c.offsets);
    // Each of the call's 7 allocations failing in turn. The first table (the
    // 4096-byte stack) records size then tag; the strip buffer (after the 5
    // tables) tag then size.
    for (uint64_t nth = 1; nth <= 7; ++nth) {
        SCOPED_TRACE(nth);
        kvhost::memory::fail_nth_allocation(nth);
        const auto r = tstrip::run(file, dib.get(), c);
        kvhost::memory::clear_faults();
        EXPECT_NE(r.status, 0);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors[0].code, -1000);
        EXPECT_EQ(r.image->rows_delivered, 0u);
        EXPECT_EQ(r.blocks_left, 0u);
        if (nth == 1) {
            EXPECT_EQ(r.errors[0].details[1], 4096);
            EXPECT_NE(r.errors[0].details[2], 0);
        } else if (nth == 6) {
            EXPECT_NE(r.errors[0].details[1], 0);
            EXPECT_EQ(r.errors[0].details[2], 8);
        }
    }
}

TEST(TiffStrips, LayoutsThatWouldDivideByZeroOrOverrunAreRefusedOnce) {
    const std::vector<uint8_t> file = tlzw::reference_compress(counting(12));
    const auto ycbcr = [](int32_t planar, uint16_t h, uint16_t v) {
        return Call{.planar = planar, .photometric = 6, .bps = {8, 8, 8}, .rps = 2, .offsets = {0},
                    .tif = {.has_subsampling = true, .subsampling = {h, v}}};
    };
    auto rgb = make_dib(2, 2, 3, 8, kRgb), empty = make_dib(0, 2, 1, 8, kGrey);
    auto one = make_dib(2, 2, 1, 8, kGrey), wide = make_dib(2, 2, 9, 8, kGrey);
    const struct {
        const char* what;
        HostDibInfo* dib;
        Call call;
    } cases[] = {
        {"horizontal subsampling 0", rgb.get(), ycbcr(1, 0, 2)},
        {"vertical subsampling 0", rgb.get(), ycbcr(1, 2, 0)},
        {"YCbCr with separate planes", rgb.get(), ycbcr(2, 2, 2)},
        {"zero width", empty.get(), Call{.rps = 2, .offsets = {0}}},
        {"zero bits per sample", one.get(), Call{.bps = {0}, .rps = 2, .offsets = {0}}},
        {"nine separate planes", wide.get(),
         Call{.planar = 2, .bps = std::vector<int16_t>(9, 8), .rps = 2, .offsets = std::vector<uint32_t>(9, 0)}},
    };
    for (const auto& c : cases) expect_refused(tstrip::run(file, c.dib, c.call), c.what);
}

TEST(TiffStrips, SeparatePlanesStayWithinOffsetCountAndZeroWhatIsMissing) {
    // Grey+alpha 2 x 4, two strips of 2 rows per plane. Strip 1 of the grey
    // plane holds one row only; the alpha plane's strip 1 is in the file but
    // beyond offset_count, so those rows must come out zero rather than
    // repeat strip 0's bytes or read it.
    auto dib = make_dib(2, 4, 2, 8, kGreyAlpha);
    Call c{.planar = 2, .bps = {8, 8}, .extra = 1, .rps = 2, .strip_count = 2, .strips_per_plane = 2};
    // Offsets in plane order: grey 0, grey 1, alpha 0, (alpha 1 not counted).
    const auto file = tstrip::build_file({{1, 2, 3, 4}, {5, 6}, {11, 12, 13, 14}, {21, 22, 23, 24}}, &c.offsets);
    c.offset_count = 3;
    const auto r = tstrip::run(file, dib.get(), c);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(tstrip::row_of(r, 0), (std::vector<uint8_t>{1, 11, 2, 12}));
    EXPECT_EQ(tstrip::row_of(r, 1), (std::vector<uint8_t>{3, 13, 4, 14}));
    EXPECT_EQ(tstrip::row_of(r, 2), (std::vector<uint8_t>{5, 0, 6, 0}));
    EXPECT_EQ(tstrip::row_of(r, 3), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(r.blocks_left, 0u);
    // Null offsets read nothing: every row zero.
    c.null_offsets = true;
    const auto none = tstrip::run(file, dib.get(), c);
    EXPECT_EQ(none.image->rows_delivered, 4u);
    EXPECT_EQ(tstrip::row_of(none, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
    // An unknown planar configuration delivers nothing, and is no error.
    c.planar = 3;
    c.null_offsets = false;
    const auto unknown = tstrip::run(file, dib.get(), c);
    EXPECT_EQ(unknown.status, 0);
    EXPECT_TRUE(unknown.errors.empty());
    EXPECT_EQ(unknown.image->rows_delivered, 0u);
    EXPECT_EQ(unknown.blocks_left, 0u);
    // Planes of a depth the host cannot place (3 bits) end the work at the
    // first row with one error, not one per row.
    c.planar = 2;
    c.bps = {3, 3};
    const auto odd = tstrip::run(file, dib.get(), c);
    EXPECT_NE(odd.status, 0);
    EXPECT_EQ(odd.errors.size(), 1u);
    EXPECT_EQ(odd.image->rows_delivered, 0u);
    EXPECT_EQ(odd.blocks_left, 0u);
}

TEST(TiffRows, OneRowConversions) {
    const Call rgb{.photometric = 2, .predictor = 2, .bps = {8, 8, 8}};
    const struct {
        const char* what;
        uint32_t width, channels, bpc, colorspace;
        Call call;
        std::vector<uint8_t> strip, row;
        std::vector<int64_t> depths = {};
    } cases[] = {
        {"predictor sums wrap modulo 256", 2, 3, 8, kRgb, rgb, {200, 100, 255, 100, 200, 2},
         {200, 100, 255, 44, 44, 1}},
        {"predictor on a row shorter than two pixels", 1, 3, 8, kRgb, rgb, {10, 20, 30}, {10, 20, 30}},
        {"predictor 3", 2, 3, 8, kRgb, Call{.photometric = 2, .predictor = 3, .bps = {8, 8, 8}},
         {10, 20, 30, 1, 2, 3}, {10, 20, 30, 1, 2, 3}},
        // The host keeps words least significant byte first. (Plain predictor
        // sums of 8 and 16 bits in both byte orders: the libtiff cross-check.)
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
