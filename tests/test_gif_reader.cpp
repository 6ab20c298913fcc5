// The GIF stream reader through its three filter entries: pages, colour
// tables, graphic control values, attributes, settings and page counts.
#include "gif_test_files.h"

using giftest::GifFile;
using giftest::rgb;
using kvtest::codes;

namespace {

class GifReader : public giftest::GifTest {};

TEST_F(GifReader, PagesAreFoundAndMissingPagesMoveTheStreamBack) {
    const GifFile file = giftest::numbered_pages(3).trailer();
    for (uint32_t page : {0u, 1u, 2u, 3u}) {
        const auto r = load(file, page);
        ASSERT_TRUE(r.ok()) << page;
        const uint8_t expected = static_cast<uint8_t>(page == 0 ? 1 : page);
        EXPECT_EQ(r.image->row(0)[0], expected);
        EXPECT_EQ(r.attribute(KV_ATTR_DELAY), expected * 10u);
        EXPECT_EQ(r.attribute(KV_ATTR_DISPOSAL), expected);
        EXPECT_EQ(r.attributes.at(KV_ATTR_POSITION).bytes[0], expected);  // left, first byte of a u64
    }
    // Page 4 of 3 (-2005), and page 2 as an image the host refuses at
    // IO_DIB_create_ex: nothing announced, the stream back at its start.
    EXPECT_EQ(refused_load(file, 4, uint64_t{1} << 30), (std::vector<int32_t>{-2005}));
    EXPECT_EQ(refused_load(file, 2, 1), (std::vector<int32_t>{kvhost::host_error::kImageTooLarge}));

    // Only page 3's own extensions are parsed: one comment, one control.
    const auto r = load(file, 3);
    const auto before = r.tags.all(KV_GIF_TAG_EXTENSION);
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(std::string(before[0]->extension.data.begin(), before[0]->extension.data.end()), "page 3");
    EXPECT_EQ(before[1]->extension.delay_time, 30u);
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_EXTENSION_COUNT)->word, 2);
}

TEST_F(GifReader, ColourTablesLocalGlobalAndDefault) {
    // A 4-entry local table under a 256-entry global one: bit count 2,
    // depth 4, entries 0-3 from the local table and 4-15 zero.
    const std::vector<uint8_t> table = {9, 8, 7, 6, 5, 4, 3, 2, 1, 250, 251, 252};
    auto r = load(GifFile::screen(2, 1, 256).image_of(2, 1, {3, 0}, 2, 0x81, table).trailer());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.image->depth, 4u);
    ASSERT_EQ(r.image->palette.size(), 64u);
    EXPECT_EQ(rgb(r.image->palette, 3), (std::vector<uint8_t>{250, 251, 252}));
    for (size_t i = 4; i < 16; ++i) EXPECT_EQ(rgb(r.image->palette, i), (std::vector<uint8_t>{0, 0, 0}));

    // Without tables the bit count picks the default: 1 black and white,
    // 3 none at all (depth 4, palette zero), 4 and 8 the 16- and 256-entry
    // tables (0x25 is red 1, green 1, blue 1; 0x0E red 2, green 3).
    const struct {
        uint8_t fields;
        int bits;
        uint32_t depth;
        std::vector<std::pair<size_t, std::vector<uint8_t>>> entries;
    } defaults[] = {
        {0x00, 2, 1, {{0, {0, 0, 0}}, {1, {255, 255, 255}}}},
        {0x02, 3, 4, {}},
        {0x03, 4, 4, {{8, {0, 0, 0}}, {9, {255, 0, 0}}, {7, {128, 128, 128}}}},
        {0x07, 8, 8, {{0xFF, {255, 255, 255}}, {0x25, {85, 36, 36}}, {0x0E, {170, 109, 0}}}},
    };
    for (const auto& d : defaults) {
        SCOPED_TRACE(d.bits);
        r = load(GifFile().header("87a", 2, 1, d.fields).image_of(2, 1, {1, 0}, d.bits).trailer());
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.settings.version, 87u);
        EXPECT_EQ(r.image->depth, d.depth);
        for (const auto& [index, colour] : d.entries) EXPECT_EQ(rgb(r.image->palette, index), colour) << index;
        if (d.entries.empty()) {
            EXPECT_EQ(r.image->palette, std::vector<uint8_t>(64, 0));
        }
    }
}

TEST_F(GifReader, TransparentColour) {
    // A transparent index whose colour another entry shares becomes
    // (255, 255, 255), or (254, 255, 255) when white is taken, in the
    // palette and in attribute 1 (blue, green, red). Attribute 21 comes with
    // the transparent flag; attributes 2, 20, 19 and tag 1515 with any
    // graphic control.
    const GifFile shared = GifFile().header("89a", 2, 1, 0x81, {10, 20, 30, 255, 255, 255, 10, 20, 30, 1, 2, 3});
    const struct {
        const char* what;
        GifFile file;
        uint8_t index;  // the last graphic control's transparent index
        bool flag;      // and its transparent flag
        size_t entry;
        std::vector<uint8_t> colour;     // palette entry `entry` (red, green, blue); empty: the palette is all zero
        std::vector<uint8_t> attribute;  // attribute 1; empty: not set
    } cases[] = {
        {"index 2 shares index 0's colour, white is index 1",
         GifFile(shared).control(0x01, 0, 2).image_of(2, 1, {2, 1}, 2).trailer(), 2, true, 2, {254, 255, 255},
         {255, 255, 254}},
        {"two graphic controls: the last applies, and without its transparent flag the table stays as given",
         GifFile(shared).control(0x09, 7, 1).control(0x0C, 9, 2).image_of(2, 1, {2, 1}, 2).trailer(), 2, false, 2,
         {10, 20, 30}, {}},
        {"no active table (bit count 3, no tables): no table read, no colour reported",
         GifFile().header("89a", 2, 1, 0x02).control(0x01, 0, 3).image_of(2, 1, {3, 1}, 3).trailer(), 3, true,
         0, {}, {}},
        {"an index past the 2-entry default table: nothing outside the table read or reported",
         GifFile().header("89a", 2, 1, 0x00).control(0x01, 0, 200).image_of(2, 1, {1, 0}, 2).trailer(), 200, true,
         1, {255, 255, 255}, {}},
        {"index 8 of the 16-entry default table is black like index 0 and white is index 15 (last: the read "
         "after the loop reads that table again)",
         GifFile().header("89a", 1, 1, 0x03).control(0x01, 0, 8).image_of(1, 1, {8}, 4).trailer(), 8, true,
         8, {254, 255, 255}, {255, 255, 254}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = load(c.file);
        ASSERT_TRUE(r.ok());
        if (c.colour.empty()) {
            EXPECT_EQ(r.image->palette, std::vector<uint8_t>(64, 0));
        } else {
            EXPECT_EQ(rgb(r.image->palette, c.entry), c.colour);
            // Only the transparent entry changes: the one it shared stays.
            const std::vector<uint8_t> first =
                c.entry == 2 ? std::vector<uint8_t>{10, 20, 30} : std::vector<uint8_t>{0, 0, 0};
            if (c.entry != 0) {
                EXPECT_EQ(rgb(r.image->palette, 0), first);
            }
        }
        EXPECT_EQ(r.has_attribute(KV_ATTR_TRANSPARENT_COLOR), !c.attribute.empty());
        if (!c.attribute.empty()) {
            EXPECT_EQ(r.attributes.at(KV_ATTR_TRANSPARENT_COLOR).bytes, c.attribute);
        }
        EXPECT_EQ(r.has_attribute(KV_ATTR_TRANSPARENT_INDEX), c.flag);
        EXPECT_EQ(r.attribute(KV_ATTR_TRANSPARENT_INDEX), c.flag ? c.index : 0u);
        EXPECT_TRUE(r.has_attribute(KV_ATTR_DELAY) && r.has_attribute(KV_ATTR_DISPOSAL) &&
                    r.has_attribute(KV_ATTR_POSITION));
        EXPECT_EQ(r.tags.find(KV_GIF_TAG_TRANSPARENT_INDEX)->bytes[0], c.index);
    }
    // The fix-up worked on a copy of the default table: the next read of it sees index 8 black.
    const auto r = load(GifFile().header("89a", 1, 1, 0x03).image_of(1, 1, {8}, 4).trailer());
    EXPECT_EQ(rgb(r.image->palette, 8), (std::vector<uint8_t>{0, 0, 0}));
}

TEST_F(GifReader, VersionInterlaceAndPageInformation) {
    GifFile file;
    file.header("8xa", 3, 2, 0x81, giftest::ramp_table(4), 3).image_of(3, 2, {1, 1, 1, 2, 2, 2}, 2, 0x40).trailer();
    const auto r = load(file);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.settings.version, 89u);
    EXPECT_EQ(r.attribute(KV_ATTR_BACKGROUND_INDEX), 3u);
    EXPECT_EQ(r.attributes.at(KV_ATTR_CONVERSION).bytes.size(), 20u);

    // Page information: the description and palette without any pixels.
    const auto info = kvhost::gif::page_info(source(file), 1);
    ASSERT_TRUE(info.ok());
    EXPECT_TRUE(info.described);
    EXPECT_EQ(info.info_value, 8u);
    EXPECT_EQ(info.width, 3u);
    EXPECT_EQ(info.height, 2u);
    EXPECT_EQ(info.depth, 4u);
    EXPECT_EQ(info.palette, r.image->palette);
    EXPECT_EQ(info.image, nullptr);
    EXPECT_EQ(info.settings.interlace, 1u);
    const auto missing = kvhost::gif::page_info(source(file), 2);
    EXPECT_EQ(codes(missing.errors), (std::vector<int32_t>{-2005}));
    EXPECT_FALSE(missing.described);
}

// (A file without a trailer, and stray bytes between blocks: the corpus
// cross-check's kNoTrailer and kStrayBytes files.)
TEST_F(GifReader, ShortFiles) {
    // Shorter than the header: -2052 and the count is not written.
    GifFile short_file = GifFile::screen(2, 1);
    short_file.bytes.resize(9);
    const auto count = kvhost::gif::page_count(source(short_file));
    EXPECT_EQ(codes(count.errors), (std::vector<int32_t>{-2052}));
    EXPECT_FALSE(count.count_written);
    EXPECT_EQ(codes(load(short_file).errors), (std::vector<int32_t>{-2005}));

    // A descriptor cut short: -2052 with the stream position.
    const GifFile cut_descriptor = GifFile::screen(2, 1).byte(0x2C).word(0).word(0);
    const auto r = load(cut_descriptor);
    ASSERT_EQ(codes(r.errors), (std::vector<int32_t>{-2052}));
    EXPECT_EQ(r.errors[0].details[1], static_cast<int64_t>(cut_descriptor.bytes.size()));
}

TEST_F(GifReader, AllocationFailuresFailCleanly) {
    const GifFile file = giftest::numbered_pages(3).trailer();
    int failed = 0;
    bool succeeded = false;
    for (uint64_t n = 1; n <= 40 && !succeeded; ++n) {
        kvhost::memory::fail_nth_allocation(n);
        const auto r = load(file, 2);
        kvhost::memory::clear_faults();
        if (r.ok()) {
            succeeded = true;  // past the last allocation of the load
            EXPECT_EQ(r.image->row(0)[0], 2);
        } else {
            ++failed;
            EXPECT_EQ(r.errors[0].code, -1000) << n;
        }
        EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before_) << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GE(failed, 8);  // extension nodes, records, data and the six decoder buffers
}

}  // namespace
