// The GIF LZW decoder as the host sees it: rows, their order and their
// bytes, for well-formed, truncated and corrupt image data.
#include "gif_test_files.h"

using giftest::GifFile;
using giftest::indices_of;
using giftest::pack_codes;

namespace {

class GifDecoder : public giftest::GifTest {
protected:
    // giflib's indices of the first image; giflib must read the whole file.
    static std::vector<uint8_t> giflib_indices(const GifFile& file) {
        const auto oracle = giftest::giflib_decode(file.bytes);
        EXPECT_TRUE(oracle.ok);
        return oracle.indices.empty() ? std::vector<uint8_t>{} : oracle.indices[0];
    }
    // A file with a 4-entry global table and one image of the given data.
    static GifFile with_data(uint16_t width, uint16_t height, int min_code_size, const std::vector<uint8_t>& data,
                             uint8_t fields = 0) {
        return GifFile::screen(width, height).image(0, 0, width, height, fields, {}, min_code_size, data).trailer();
    }
};

// giflib decodes the same bytes to the same indices: literal codes at
// several minimum code sizes (the width follows the table, with clears in
// between); strings under a table never cleared, across the rows of narrow
// images and long after they were defined (wide rows too); and a full table
// whose entry 4095 arrives twice with no clear in between, as encoders that
// defer the clear mean it: both times the pair the 4091st literal defined.
TEST_F(GifDecoder, DecodesAsGiflibDoes) {
    struct Case {
        std::string what;
        uint16_t width, height;
        int min_code_size;
        std::vector<uint8_t> indices, data;
    };
    std::vector<Case> cases;
    for (int m : {2, 3, 5, 8}) {
        const auto pixels = giftest::pattern(97 * 61, 1u << m, m);
        cases.push_back({"literals, code size " + std::to_string(m), 97, 61, m, pixels, giftest::encode_literals(pixels, m)});
    }
    for (const auto& [width, height] : {std::pair<uint16_t, uint16_t>{5, 60000}, {3, 1000}, {1000, 300}}) {
        const auto image = giftest::runs_and_motif(size_t{width} * height, 4, width);
        cases.push_back({"runs, width " + std::to_string(width), width, height, 2, image, giftest::encode_lzw(image, 2, false)});
    }
    const auto literals = giftest::pattern(4091, 4, 11);
    auto codes = giftest::literal_codes(literals, 2, false);
    codes.insert(codes.end() - 1, {{4095, 12}, {4095, 12}, {3, 12}});
    std::vector<uint8_t> expected = literals;
    for (int i = 0; i < 2; ++i) expected.insert(expected.end(), {literals[4089], literals[4090]});
    expected.push_back(3);
    cases.push_back({"entry 4095 of a full table", 64, 64, 2, expected, pack_codes(codes)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GifFile file =
            GifFile::screen(c.width, c.height, 256).image(0, 0, c.width, c.height, 0, {}, c.min_code_size, c.data).trailer();
        const auto r = load(file);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(indices_of(*r.image), c.indices);
        EXPECT_EQ(giflib_indices(file), c.indices);
    }
}

TEST_F(GifDecoder, HandBuiltCodeSequences) {
    const struct {
        const char* what;
        uint16_t width, height;
        int min_code_size;
        std::vector<std::pair<uint32_t, int>> codes;
        uint32_t rows;                  // rows delivered
        std::vector<uint8_t> pixels;    // their indices
        std::vector<int64_t> error{};   // the one error's code, details[1], details[2]; none when empty
    } cases[] = {
        {"clear, 1, 6, end: code 6 arrives as the next code and is the previous string plus its own first byte",
         3, 1, 2, {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, 1, {1, 1, 1}},
        {"clear, 0, 1, 6: 6 was defined as 0,1 when 1 arrived; after 6 the next code is 8, so the following "
         "code (1) and the end code are 4 bits wide",
         5, 1, 2, {{4, 3}, {0, 3}, {1, 3}, {6, 3}, {1, 4}, {5, 4}}, 1, {0, 1, 0, 1, 1}},
        {"end code inside the first row: both rows arrive as zero bytes, the decoded pixels are not delivered",
         4, 2, 2, {{4, 3}, {1, 3}, {2, 3}, {5, 3}}, 2, std::vector<uint8_t>(8, 0)},
        {"minimum code size 9 is refused before any row", 2, 2, 9, {{512, 10}, {1, 10}}, 0, {}, {-2391, 9}},
        {"a code above the next code (8 after clear, 1, 2, 3; codes 4 bits wide): the rows so far, then zero rows",
         2, 2, 2, {{4, 3}, {1, 3}, {2, 3}, {3, 3}, {9, 4}, {1, 4}}, 2, {1, 2, 0, 0}, {-2391, 9, 8}},
        {"a first code equal to the next code makes a chain that loops: it ends the data like a broken chain, "
         "without an error and within the stack",
         3, 2, 2, {{4, 3}, {6, 3}, {6, 3}, {6, 3}, {5, 3}}, 2, std::vector<uint8_t>(6, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = load(with_data(c.width, c.height, c.min_code_size, pack_codes(c.codes)));
        ASSERT_NE(r.image, nullptr);
        EXPECT_EQ(r.image->rows_delivered, c.rows);
        if (c.rows > 0) {
            EXPECT_EQ(indices_of(*r.image), c.pixels);
        }
        ASSERT_EQ(r.errors.size(), c.error.empty() ? 0u : 1u);
        for (size_t i = 0; i < c.error.size(); ++i)
            EXPECT_EQ(i == 0 ? r.errors[0].code : r.errors[0].details[i], c.error[i]) << i;
    }
}

TEST_F(GifDecoder, EarlyEndTruncationAndSurplusData) {
    // The data stops without a terminator: rows decoded so far, then zero
    // rows, and no error from the decoder; the end of the file is then
    // reported once by the read of the next block.
    const auto pixels = giftest::pattern(30 * 20, 4);
    GifFile cut = GifFile::screen(30, 20).image_of(30, 20, pixels, 2);
    cut.bytes.resize((cut.bytes.size() - 1) / 2);
    auto r = load(cut);
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(r.image->rows_delivered, 20u);
    ASSERT_EQ(kvtest::codes(r.errors), (std::vector<int32_t>{-2100}));
    EXPECT_EQ(r.errors[0].text, "Error reading GIF block");
    EXPECT_EQ(r.errors[0].details[0], 1);
    EXPECT_EQ(r.errors[0].details[1], 1);
    const auto got = indices_of(*r.image);
    size_t same = 0;
    while (same < got.size() && got[same] == pixels[same]) ++same;
    EXPECT_GE(same, 30u * 3);  // several whole rows came through
    for (size_t i = (same / 30 + 1) * 30; i < got.size(); ++i) ASSERT_EQ(got[i], 0) << i;

    // More codes than pixels, over several sub-blocks: decoding stops after
    // the last row and the surplus is skipped, so the comment after the
    // image is still read.
    r = load(GifFile::screen(2, 2).image_of(2, 2, giftest::pattern(900, 4), 2).comment({"after"}).trailer());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(indices_of(*r.image), giftest::pattern(4, 4));
    const auto after = r.tags.all(KV_GIF_TAG_AFTER_EXTENSION);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(std::string(after[0]->extension.data.begin(), after[0]->extension.data.end()), "after");
}

TEST_F(GifDecoder, InterlacedRowsArriveInPassOrder) {
    const std::vector<std::pair<uint16_t, std::vector<int64_t>>> cases = {
        {1, {0}}, {2, {0, 1}}, {5, {0, 4, 2, 1, 3}}, {11, {0, 8, 4, 2, 6, 10, 1, 3, 5, 7, 9}}};
    for (const auto& [height, order] : cases) {
        const auto pixels = giftest::pattern(size_t{3} * height, 4, height);
        // Pixels are in delivery order in the data; giflib puts each row in place.
        const GifFile file = GifFile::screen(3, height).image_of(3, height, pixels, 2, 0x40).trailer();
        const auto r = load(file);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.settings.interlace, 1u);
        EXPECT_EQ(r.image->row_order, order) << height;
        EXPECT_EQ(indices_of(*r.image), giflib_indices(file)) << height;
    }
    // Truncated interlaced data: the zero rows continue the pass order.
    const auto r = load(with_data(3, 5, 2, pack_codes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 3}}), 0x40));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.image->row_order, (std::vector<int64_t>{0, 4, 2, 1, 3}));
    EXPECT_EQ(r.image->row(0)[0], 1);
    EXPECT_EQ(r.image->row(4)[0], 0);
}

TEST_F(GifDecoder, RowLayoutsAndEmptyImages) {
    // 1 bit: ten pixels 1,0,1,1,0,0,0,0,1,1 pack as 0xB0, 0xC0.
    auto r = load(GifFile::screen(10, 1, 2).image_of(10, 1, {1, 0, 1, 1, 0, 0, 0, 0, 1, 1}, 2).trailer());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.image->depth, 1u);
    EXPECT_EQ(r.image->row(0)[0], 0xB0);
    EXPECT_EQ(r.image->row(0)[1], 0xC0);

    // Height 0: the code size byte is still checked and the data skipped,
    // so the comment after it is read.
    r = load(GifFile::screen(4, 4).image_of(4, 0, {1, 2, 3}, 2).comment({"x"}).trailer());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.image->rows_delivered, 0u);
    EXPECT_EQ(r.tags.all(KV_GIF_TAG_AFTER_EXTENSION).size(), 1u);

    // Width 65535 reaches the host as 65535, and its row decodes whole.
    const auto wide = giftest::pattern(65535, 8);
    r = load(GifFile::screen(65535, 1, 8).image_of(65535, 1, wide, 3).trailer());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.image->width, 65535u);
    EXPECT_EQ(indices_of(*r.image), wide);
}

}  // namespace
