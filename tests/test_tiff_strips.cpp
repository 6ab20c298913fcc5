// The strip service: strips to rows, short and surplus strips, strips read
// back to back, allocation failures, and the layouts it refuses.
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

}  // namespace

TEST(TiffStrips, ShortStripIsZeroPaddedAndSurplusRowsAreNotDelivered) {
    // Grey 4 x 5, two strips of 3 rows. Strip 0 holds 1.5 rows without an
    // end code, at the end of the file; strip 1 holds 3 rows of which only 2
    // fall inside the image, and they stay at rows 3 and 4.
    auto dib = make_dib(4, 5, 1, 8, kGrey);
    Call c{.rps = 3, .strip_count = 2};
    std::vector<uint32_t> second;
    auto file = tstrip::build_file({counting(12, 101)}, &second);
    const auto cut = tstrip::lzw(counting(6), /*end_code=*/false);
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

TEST(TiffStrips, UnknownPlanarConfigurationDeliversNothing) {
    auto dib = make_dib(3, 2, 1, 8, kGrey);
    Call c{.planar = 3, .rps = 2};
    const auto file = tstrip::build_file({counting(6)}, &c.offsets);
    const auto r = tstrip::run(file, dib.get(), c);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(r.image->rows_delivered, 0u);
    EXPECT_EQ(r.blocks_left, 0u);
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
    const std::vector<uint8_t> file = tstrip::lzw(counting(12));
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
    // Planes of a depth the host cannot place (3 bits) end the work at the
    // first row with one error, not one per row.
    c.bps = {3, 3};
    c.null_offsets = false;
    const auto odd = tstrip::run(file, dib.get(), c);
    EXPECT_NE(odd.status, 0);
    EXPECT_EQ(odd.errors.size(), 1u);
    EXPECT_EQ(odd.image->rows_delivered, 0u);
    EXPECT_EQ(odd.blocks_left, 0u);
}
