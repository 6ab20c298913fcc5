// GIF writing through the save call and the filter's save entry: exact
// bytes, appending, extensions from metadata and tags, failures.
#include "gif_frames_test_util.h"
#include "gif_write_support.h"
#include "kvhost/recording.h"

using namespace gifwrite;
using kvhost::gif::Destination;
using kvhost::gif::SaveOptions;
using kvhost::gif::save_page;

namespace {

class GifWrite : public giftest::GifTest {
public:
    static std::vector<uint8_t> saved(const SaveImage& image, const SaveOptions& options = {},
                                      std::vector<uint8_t> existing = {}) {
        std::vector<uint8_t> buffer = std::move(existing);
        const auto r = save_page(Destination::memory(&buffer), image, options);
        EXPECT_TRUE(r.ok()) << (r.errors.empty() ? "" : kvhost::describe(r.errors[0]));
        return buffer;
    }
};

const std::vector<uint8_t> kHeader1x1 = bytes_of({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0});

TEST_F(GifWrite, SmallestFilesByteForByte) {
    // 1 x 1, pixel 0, black and white: the codes 4, 0, 5 at width 3.
    SaveImage one = palette_image(1, 1, 1);
    one.pixels = {0x00};
    one.palette = {0, 0, 0, 0, 255, 255, 255, 0};
    const auto table = bytes_of({0, 0, 0, 255, 255, 255});
    const auto descriptor = bytes_of({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});
    EXPECT_EQ(saved(one), concat({kHeader1x1, table, bytes_of({0x21, 0xF9, 4, 0, 0, 0, 0xFF, 0}), descriptor,
                                  bytes_of({2, 2, 0x44, 0x01, 0, 0x3B})}));

    // Version 87: no extension at all; a delay and a transparent colour
    // change nothing then. Version 89 takes them into the default control.
    SaveOptions options{.version = 87, .delay = 0x1234, .transparent_rgb = std::array<uint8_t, 3>{255, 255, 255}};
    auto header87 = kHeader1x1;
    header87[4] = '7';
    EXPECT_EQ(saved(one, options), concat({header87, table, descriptor, bytes_of({2, 2, 0x44, 0x01, 0, 0x3B})}));
    options.version = 89;
    EXPECT_EQ(saved(one, options), concat({kHeader1x1, table, bytes_of({0x21, 0xF9, 4, 1, 0x34, 0x12, 1, 0}),
                                           descriptor, bytes_of({2, 2, 0x44, 0x01, 0, 0x3B})}));
    // Any other version: the header says 89a, and no block comes before the image.
    options.version = 90;
    EXPECT_EQ(saved(one, options), concat({kHeader1x1, table, descriptor, bytes_of({2, 2, 0x44, 0x01, 0, 0x3B})}));
}

// giflib's first image of a GIF we wrote.
giftest::GiflibImages giflib_of(const std::vector<uint8_t>& bytes) {
    auto images = giftest::giflib_decode(bytes);
    EXPECT_TRUE(images.ok);
    EXPECT_EQ(images.indices.size(), 1u);
    return images;
}

// The palette (blue, green, red, 0) as giflib's colour map for a depth.
std::vector<uint8_t> colour_map(const std::vector<uint8_t>& palette, uint32_t depth) {
    std::vector<uint8_t> rgb(size_t{3} << depth, 0);
    for (size_t i = 0; i < (size_t{1} << depth) && i * 4 < palette.size(); ++i)
        std::ranges::copy(giftest::rgb(palette, i), rgb.begin() + i * 3);
    return rgb;
}

// giflib reads them back, and their data is exactly the algorithm's codes
// for the rows in the order they are stored.
TEST_F(GifWrite, PaletteImagesOfEveryDepthAndAwkwardSizeAreTheAlgorithmsCodes) {
    struct Case {
        uint32_t width, height, depth;
        bool interlace;
        uint32_t gif_depth;  // the depth the host converts to
        bool runs = false;   // giftest::runs_and_motif rather than the pattern
    };
    const Case cases[] = {
        {1, 1, 1, false, 1},     {1, 37, 8, false, 8},   {37, 1, 4, false, 4},   {13, 7, 2, false, 4},
        {9, 9, 3, false, 4},     {31, 5, 5, false, 8},   {40, 20, 6, false, 8},  {11, 11, 7, false, 8},
        {300, 200, 8, false, 8},  // far more than 4096 codes: the table starts again several times
        {200, 150, 4, false, 4}, {333, 100, 1, false, 1}, {7, 1, 8, true, 8},  {7, 2, 8, true, 8},
        {7, 5, 4, true, 4},      {7, 11, 1, true, 1},     {97, 43, 8, true, 8},
        {640, 480, 8, false, 8, true}, {333, 251, 4, false, 4, true}, {301, 200, 1, false, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " depth " + std::to_string(c.depth) +
                     (c.interlace ? " interlaced" : "") + (c.runs ? " runs" : ""));
        SaveImage image = palette_image(c.width, c.height, c.depth, c.width * 31 + c.height);
        if (c.runs) {
            image.pixels = host_rows(giftest::runs_and_motif(size_t{c.width} * c.height, 1u << c.depth, c.width),
                                     c.width, c.height, c.depth);
        }
        const auto bytes = saved(image, {.interlace = c.interlace});
        const auto images = giflib_of(bytes);
        if (images.indices.empty()) continue;
        EXPECT_EQ(images.indices[0], indices_of(image));
        EXPECT_EQ(images.rgb[0], colour_map(image.palette, c.gif_depth));
        EXPECT_EQ(bytes[10], 0x80 | (c.gif_depth - 1));
        // After header, screen, global table, control and descriptor: the
        // minimum code size and the sub-blocks, all full but the last.
        size_t at = 13 + (size_t{3} << c.gif_depth) + 8 + 10;
        ASSERT_LT(at, bytes.size());
        EXPECT_EQ(bytes[at - 1] & 0x40, c.interlace ? 0x40 : 0);
        const uint32_t min_size = std::max(c.gif_depth, 2u);
        EXPECT_EQ(bytes[at++], min_size);
        std::vector<uint8_t> data;
        while (at < bytes.size() && bytes[at] != 0) {
            const size_t n = bytes[at];
            EXPECT_TRUE(n == 255 || bytes.at(at + n + 1) == 0) << "short sub-block before the last";
            data.insert(data.end(), bytes.begin() + at + 1, bytes.begin() + std::min(bytes.size(), at + 1 + n));
            at += n + 1;
        }
        EXPECT_EQ(bytes.size(), at + 2);  // the terminator and the trailer
        const auto indices = indices_of(image);
        const auto stored = c.interlace ? giftest::interlace_rows(indices, uint16_t(c.width), uint16_t(c.height)) : indices;
        EXPECT_EQ(data, giftest::encode_lzw(stored, int(min_size)));
    }
}

// An RGB row of n different colours, more than a GIF table holds when n > 256.
SaveImage colours_in_a_row(uint32_t n) {
    SaveImage image{.kind = SaveImage::Kind::kRgb, .width = n, .height = 1, .depth = 24};
    for (uint32_t i = 0; i < n; ++i) image.pixels.insert(image.pixels.end(), {uint8_t(i), uint8_t(i >> 8), 0});
    return image;
}

TEST_F(GifWrite, GreyAndColourImagesKeepTheirColoursExactly) {
    struct Case {
        SaveImage::Kind kind;
        uint32_t channels, colours, gif_depth;
    };
    const Case cases[] = {{SaveImage::Kind::kGrey, 1, 2, 1},   {SaveImage::Kind::kGrey, 1, 256, 8},
                          {SaveImage::Kind::kRgb, 3, 16, 4},   {SaveImage::Kind::kRgb, 3, 17, 8},
                          {SaveImage::Kind::kRgba, 4, 200, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.colours) + " colours");
        SaveImage image{.kind = c.kind, .width = 50, .height = 30, .depth = 8 * c.channels};
        const auto picks = giftest::pattern(50 * 30, c.colours, c.colours);
        for (uint8_t pick : picks)
            for (uint32_t k = 0; k < c.channels; ++k) image.pixels.push_back(uint8_t(pick * (k + 1) + (k == 3 ? 1 : 0)));
        // Every colour at least once, so that the count is exact.
        for (uint32_t i = 0; i < c.colours; ++i)
            for (uint32_t k = 0; k < c.channels; ++k) image.pixels[i * c.channels + k] = uint8_t(i * (k + 1) + (k == 3));
        const auto bytes = saved(image);
        EXPECT_EQ(bytes[10], 0x80 | (c.gif_depth - 1));
        const auto images = giflib_of(bytes);
        if (images.indices.empty()) continue;
        for (size_t p = 0; p < picks.size(); ++p) {
            const uint8_t* rgb = &images.rgb[0].at(size_t{images.indices[0][p]} * 3);
            const uint8_t* px = &image.pixels[p * c.channels];
            ASSERT_EQ(bytes_of({rgb[0], rgb[1], rgb[2]}), bytes_of({px[0], px[c.channels / 3], px[c.channels / 3 * 2]}))
                << "pixel " << p;
        }
    }
}

// Appended to a GIF of one image, whole, without its trailer, or of version
// 87a (which keeps its header and takes the page's control block).
TEST_F(GifWrite, AppendingAddsAnImageWithALocalTableOnlyWhenThePaletteDiffers) {
    const SaveImage first = palette_image(20, 10, 4, 1);
    const auto one = saved(first);
    struct Case {
        const char* what;
        std::vector<uint8_t> existing;
        SaveImage image;
        int local_fields;  // -1: no local table
    };
    SaveImage other_palette = palette_image(8, 30, 4, 2);  // larger than the screen, which stays 20 x 10
    other_palette.palette[5] ^= 1;
    const Case cases[] = {{"same palette", one, palette_image(8, 30, 4, 2), -1},
                          {"other palette", one, other_palette, 0x83},
                          {"other depth", one, palette_image(5, 5, 8, 3), 0x87},
                          {"one bit", one, palette_image(5, 5, 1, 3), 0x80},
                          {"no trailer", std::vector<uint8_t>(one.begin(), one.end() - 1), palette_image(3, 2, 4), -1},
                          {"version 87a", saved(first, {.version = 87}), palette_image(3, 2, 4), -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto two = saved(c.image, {.append = true}, c.existing);
        const size_t at = c.existing.size() - (c.existing.back() == 0x3B ? 1 : 0);
        ASSERT_GE(two.size(), at + 8 + 10);
        ASSERT_TRUE(std::equal(c.existing.begin(), c.existing.begin() + at, two.begin())) << "the old file changed";
        // The appended page: its default control, then its descriptor.
        EXPECT_EQ(std::vector<uint8_t>(two.begin() + at, two.begin() + at + 3), bytes_of({0x21, 0xF9, 4}));
        EXPECT_EQ(two[at + 8 + 9], c.local_fields < 0 ? 0 : c.local_fields);
        const auto images = giftest::giflib_decode(two);
        ASSERT_TRUE(images.ok && images.indices.size() == 2);
        EXPECT_EQ(images.indices[0], indices_of(first));
        EXPECT_EQ(images.indices[1], indices_of(c.image));
        EXPECT_EQ(images.rgb[1], colour_map(c.image.palette, c.image.depth));

        // A page writer gives the same bytes for a third page (appended to a
        // stand-in of the header blocks), and a failed page changes nothing.
        std::vector<uint8_t> built = c.existing;
        kvhost::gif::PageWriter writer(&built);
        ASSERT_TRUE(writer.save(c.image, {.append = true}).ok());
        ASSERT_TRUE(writer.save(other_palette, {.append = true, .interlace = true}).ok());
        EXPECT_EQ(built, saved(other_palette, {.append = true, .interlace = true}, two));
        const std::vector<uint8_t> before = built;
        EXPECT_FALSE(writer.save(SaveImage{.width = 0, .height = 1}, {.append = true}).ok());
        EXPECT_EQ(built, before);
    }
}

TEST_F(GifWrite, AppendingWhereThereIsNoImageAndWritingAtTheStreamsPosition) {
    const SaveImage image = palette_image(3, 2, 4);
    const auto fresh = saved(image);
    // No image in the stream, or no GIF at all: a new file from the start.
    EXPECT_EQ(saved(image, {.append = true}, giftest::GifFile::screen(9, 9, 16).trailer().bytes), fresh);
    EXPECT_EQ(saved(image, {.append = true}, bytes_of({'n', 'o', 't', ' ', 'G', 'I', 'F'})), fresh);
    // Old data that no reader gets past is refused and left as it was: a GIF
    // that breaks off inside its image data (a page after it would be read as
    // more of that data), and one with a byte between blocks that starts none
    // (a reader stops there; the position of that byte is the detail).
    std::vector<uint8_t> stray(fresh.begin(), fresh.end() - 1);
    stray.insert(stray.end(), {0x50, 0xFF});
    const struct {
        std::vector<uint8_t> old;
        int32_t code;
        int64_t detail;
    } refusals[] = {{std::vector<uint8_t>(fresh.begin(), fresh.end() - 3), -2052, -1},
                    {stray, -2060, static_cast<int64_t>(fresh.size() - 1)}};
    for (const auto& refusal : refusals) {
        std::vector<uint8_t> buffer = refusal.old;
        const auto refused = save_page(Destination::memory(&buffer), image, {.append = true});
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.errors[0].code, refusal.code);
        if (refusal.detail >= 0) EXPECT_EQ(refused.errors[0].details[1], refusal.detail);
        EXPECT_EQ(buffer, refusal.old);
    }

    // Page mode 1 writes a new file at the stream's position, over what is there.
    const SaveImage small = palette_image(1, 1, 1);
    auto stream = save_stream(concat({bytes_of({'a', 'b', 'c'}), fresh}), small);
    stream->position = 3;
    const auto r = run_entry(std::move(stream), 1);
    EXPECT_EQ(r.status, 0);
    const auto expected = saved(small);
    const auto written = r.bytes();
    EXPECT_EQ(std::vector<uint8_t>(written.begin() + 3, written.begin() + 3 + expected.size()), expected);
    EXPECT_EQ(r.stream->position, 3 + static_cast<int64_t>(expected.size()));
}

TEST_F(GifWrite, FilesAreReplacedWholeOrLeftAsTheyWere) {
    const std::string path = kvtest::temp_path("gif_write_file.gif");
    const SaveImage image = palette_image(6, 4, 8);
    ASSERT_TRUE(save_page(Destination::file(path), image, {}).ok());
    const auto first = kvtest::read_file(path);
    EXPECT_EQ(first, saved(image));
    ASSERT_TRUE(save_page(Destination::file(path), image, {.append = true}).ok());
    const auto two = kvtest::read_file(path);
    EXPECT_EQ(giftest::giflib_decode(two).indices.size(), 2u);
    // 257 colours have no exact conversion: refused through the callback, and
    // the file stays as it was.
    const auto r = save_page(Destination::file(path), colours_in_a_row(257), {.append = true});
    EXPECT_EQ(kvtest::codes(r.errors), std::vector<int32_t>{-2112});
    EXPECT_EQ(r.errors.at(0).details[1], 24);
    EXPECT_EQ(kvtest::read_file(path), two);
    std::remove(path.c_str());
}

std::vector<uint8_t> with_metadata(const MetadataNode& tree, const kvhost::TagStore* tags = nullptr) {
    SaveImage one = palette_image(1, 1, 1);
    one.pixels = {0};
    return GifWrite::saved(one, {.metadata = &tree, .tags = tags});
}

std::vector<uint8_t> comment_block(size_t n) {
    return concat({bytes_of({0x21, 0xFE}), giftest::sub_blocks(std::vector<uint8_t>(n, 'c'))});
}

// Bytes of a 1 x 1 file written with the metadata, at an offset or (kTail)
// the last ones before the trailer. Extensions before the image sit between
// the global table (ending at 19) and the descriptor (0x2C); those after it
// follow the image data (0x44 0x01 0x00).
constexpr size_t kTail = SIZE_MAX;
TEST_F(GifWrite, ExtensionsDescriptorFieldsAndTablesFromMetadata) {
    const auto screen = [](std::initializer_list<MetadataNode> items) {
        return tree({group("LogicalScreenDescriptor", 32, items)});
    };
    const auto fields = [&](std::initializer_list<MetadataNode> items) { return screen({group("Fields", 517, items)}); };
    const auto control = bytes_of({0x21, 0xF9, 4, 0x0D, 0x2C, 0x01, 7, 0});
    const MetadataNode controls =
        tree({graphic_control(3, true, 300, 7), group("AfterImageExtensions", 4095, {graphic_control(3, true, 300, 7)})});
    const MetadataNode after_first = tree({group("AfterImageExtensions", 4095, {text("CommentExtension", 254, "after")}),
                                           graphic_control(3, true, 300, 7)});
    const MetadataNode plain_text = tree({group("AfterImageExtensions", 4095,
                                                {group("PlainTextExtension", 1,
                                                       {number("TextGridLeftPosition", 17, KV_METAD_TYPE_U16, 258),
                                                        number("TextGridHeight", 20, KV_METAD_TYPE_U16, 9),
                                                        number("CharacterCellWidth", 21, KV_METAD_TYPE_U8, 6),
                                                        number("TextBackgroundColorIndex", 24, KV_METAD_TYPE_U8, 3),
                                                        text("PlainTextData", 25, "Hi")})})});
    struct Case {
        const char* what;
        MetadataNode tree;
        size_t at;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"a comment alone, and no default control", tree({text("CommentExtension", 254, "hello")}), 19,
         bytes_of({0x21, 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 0, 0x2C})},
        {"sub-blocks of 0, 255 and 256 bytes",
         tree({text("CommentExtension", 254, ""), text("CommentExtension", 254, std::string(255, 'c')),
               text("CommentExtension", 254, std::string(256, 'c'))}),
         19, concat({bytes_of({0x21, 0xFE, 0}), comment_block(255), comment_block(256), {0x2C}})},
        {"a control before the image", controls, 19, concat({control, {0x2C}})},
        {"and one after it", controls, kTail, concat({bytes_of({0x44, 1, 0}), control})},
        {"a control after the group of after-image blocks still goes before the image", after_first, 19,
         concat({control, {0x2C}})},
        {"and the comment of that group after it", after_first, kTail,
         bytes_of({0x44, 1, 0, 0x21, 0xFE, 5, 'a', 'f', 't', 'e', 'r', 0})},
        {"data cut into the sub-blocks given",
         tree({group("ApplicationExtension", 255,
                     {text("ApplicationIdentifier", 4081, "ANIMEXTS"),
                      text("Appl.AuthenticationCode", 4082, "1.0", KV_METAD_TYPE_U8),
                      text("ApplicationData", 4083, std::string("\x01\x00\x00\x02\x00\x04\x00\x00", 8),
                           KV_METAD_TYPE_BYTES),
                      value("SubBlockSizes", 4084, KV_METAD_TYPE_BYTES, bytes_of({3, 5}), 2)}),
               text("CommentExtension", 254, "abcde"),
               value("SubBlockSizes", 4084, KV_METAD_TYPE_BYTES, bytes_of({2, 3}), 2),
               text("CommentExtension", 254, "abcde"),
               value("SubBlockSizes", 4084, KV_METAD_TYPE_BYTES, bytes_of({2, 2}), 2)}),
         19 + 14,
         bytes_of({3, 1, 0, 0, 5, 2, 0, 4, 0, 0, 0, 0x21, 0xFE, 2, 'a', 'b', 3, 'c', 'd', 'e', 0,
                   // sizes that do not add up to the data are not followed
                   0x21, 0xFE, 5, 'a', 'b', 'c', 'd', 'e', 0, 0x2C})},
        {"the last of two disposal methods",
         tree({group("GraphicControlExtension", 249,
                     {group("Fields", 3985,
                            {number("DisposalMethod", 3986, KV_METAD_TYPE_U8, 1),
                             number("DisposalMethod", 3986, KV_METAD_TYPE_U8, 2)})})}),
         19, bytes_of({0x21, 0xF9, 4, 0x08, 0, 0, 0, 0, 0x2C})},
        {"an application block",
         tree({group("ApplicationExtension", 255,
                     {text("ApplicationIdentifier", 4081, "NETSCAPE"),
                      text("Appl.AuthenticationCode", 4082, "2.0", KV_METAD_TYPE_U8),
                      text("ApplicationData", 4083, std::string("\x01\x05\x00", 3), KV_METAD_TYPE_BYTES)})}),
         19, concat({bytes_of({0x21, 0xFF, 11}), bytes_of({'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1,
                                                           5, 0, 0, 0x2C})})},
        {"a plain text block after the image", plain_text, kTail,
         bytes_of({0x44, 1, 0, 0x21, 0x01, 12, 2, 1, 0, 0, 0, 0, 9, 0, 6, 0, 0, 3, 2, 'H', 'i', 0})},
        {"and the default control before it", plain_text, 19, bytes_of({0x21, 0xF9, 4, 0, 0, 0, 0xFF, 0, 0x2C})},
        {"numbers given as too few bytes read zero-extended, never past them",
         tree({group("PlainTextExtension", 1,
                     {text("TextGridLeftPosition", 17, "\x07", KV_METAD_TYPE_BYTES),
                      text("TextGridHeight", 20, "", KV_METAD_TYPE_BYTES), text("PlainTextData", 25, "Hi")})}),
         19, bytes_of({0x21, 0x01, 12, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 'H', 'i', 0})},
        {"screen size", screen({number("LogicalScreenWidth", 513, KV_METAD_TYPE_U16, 640),
                                number("LogicalScreenHeight", 514, KV_METAD_TYPE_U16, 480)}),
         6, bytes_of({0x80, 2, 0xE0, 1})},
        {"colour resolution 7", fields({number("ColorResolution", 519, KV_METAD_TYPE_U8, 7)}), 10, bytes_of({0xF0})},
        {"no global table flag, sorted", fields({number("GlobalColorTableFlag", 518, KV_METAD_TYPE_FLAG, 0),
                                                number("SortFlag", 520, KV_METAD_TYPE_FLAG, 1)}),
         10, bytes_of({0x08, 0, 0, 0x21})},
        {"background and aspect", screen({number("BackgroundColorIndex", 515, KV_METAD_TYPE_U8, 1),
                                          number("PixelAspectRatio", 516, KV_METAD_TYPE_U8, 49)}),
         10, bytes_of({0x80, 1, 49})},
        {"a named value in the wrong group is not taken",
         tree({number("LogicalScreenWidth", 513, KV_METAD_TYPE_U16, 640)}), 6, bytes_of({1, 0})},
        {"image position and size; interlace stays as set; sorted local table of 4",
         tree({group("ImageDescriptor", 44,
                     {number("ImageLeftPosition", 705, KV_METAD_TYPE_U16, 2),
                      number("ImageWidth", 707, KV_METAD_TYPE_U16, 0x101),
                      group("Fields", 709,
                            {number("LocalColorTableFlag", 710, KV_METAD_TYPE_FLAG, 1),
                             number("InterlaceFlag", 711, KV_METAD_TYPE_FLAG, 1),
                             number("SortFlag", 712, KV_METAD_TYPE_FLAG, 1),
                             number("LocalColorTableSize", 713, KV_METAD_TYPE_U8, 9)})})}),
         27, bytes_of({0x2C, 2, 0, 0, 0, 1, 1, 1, 0, 0xA1, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0, 0, 2})},
        {"the first of two global tables, shorter than a whole table",
         tree({value("GlobalColorTable", 48, KV_METAD_TYPE_BYTES, bytes_of({9, 8, 7, 6}), 4),
               value("GlobalColorTable", 48, KV_METAD_TYPE_BYTES, bytes_of({1, 1, 1, 1, 1, 1}), 6)}),
         13, bytes_of({9, 8, 7, 6, 0, 0, 0x21})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto file = with_metadata(c.tree);
        const size_t at = c.at == kTail ? file.size() - 1 - c.bytes.size() : c.at;
        ASSERT_GE(file.size(), at + c.bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(file.begin() + at, file.begin() + at + c.bytes.size()), c.bytes);
    }
}

struct Tags {
    kvhost::TagStore store;
    using Kind = kvhost::TagEntry::Kind;
    Tags& word(uint32_t tag, uint16_t v) { return add({.tag = tag, .kind = Kind::kWord, .word = v}); }
    Tags& byte(uint32_t tag, uint8_t v) { return add({.tag = tag, .kind = Kind::kByte, .bytes = {v}}); }
    Tags& table(uint32_t tag, std::vector<uint8_t> t) {
        t.resize(KV_GIF_TABLE_BYTES);
        return add({.tag = tag, .kind = Kind::kBytes, .bytes = std::move(t)});
    }
    Tags& record(uint32_t tag, uint32_t label, const std::string& data) {
        kvhost::TagEntry e{.tag = tag, .kind = Kind::kExtension};
        e.extension.label = label;
        e.extension.has_data = true;
        e.extension.data.assign(data.begin(), data.end());
        return add(std::move(e));
    }
    Tags& add(kvhost::TagEntry e) {
        store.entries.push_back(std::move(e));
        return *this;
    }
};

TEST_F(GifWrite, OlderTagsFillWhatMetadataLeaves) {
    Tags tags;
    tags.word(KV_GIF_TAG_SCREEN_WIDTH, 300).word(KV_GIF_TAG_SCREEN_HEIGHT, 2).byte(KV_GIF_TAG_SCREEN_FIELDS, 0x81);
    tags.byte(KV_GIF_TAG_BACKGROUND, 3).byte(KV_GIF_TAG_ASPECT_RATIO, 5);
    tags.table(KV_GIF_TAG_GLOBAL_TABLE, bytes_of({10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}));
    tags.word(KV_GIF_TAG_IMAGE_LEFT, 7).word(KV_GIF_TAG_IMAGE_TOP, 1);
    tags.byte(KV_GIF_TAG_IMAGE_FIELDS, 0x40 | 0x80);  // the interlace bit follows the settings, not the tag
    tags.table(KV_GIF_TAG_LOCAL_TABLE, bytes_of({1, 2, 3, 4, 5, 6}));
    tags.word(KV_GIF_TAG_EXTENSION_COUNT, 2).record(KV_GIF_TAG_EXTENSION, 0xFE, "ab");
    tags.record(KV_GIF_TAG_EXTENSION, 0xFE, "cd").record(KV_GIF_TAG_EXTENSION, 0xFE, "not asked for");
    tags.word(KV_GIF_TAG_AFTER_COUNT, 1).record(KV_GIF_TAG_AFTER_EXTENSION, 0xFE, "z");
    const auto file = with_metadata(MetadataNode{}, &tags.store);
    const auto expected = concat({bytes_of({'G', 'I', 'F', '8', '9', 'a', 44, 1, 2, 0, 0x81, 3, 5}),
                                  bytes_of({10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}),
                                  bytes_of({0x21, 0xFE, 2, 'a', 'b', 0, 0x21, 0xFE, 2, 'c', 'd', 0}),
                                  bytes_of({0x2C, 7, 0, 1, 0, 1, 0, 1, 0, 0x80, 1, 2, 3, 4, 5, 6}),
                                  bytes_of({2, 2, 0x44, 1, 0, 0x21, 0xFE, 1, 'z', 0, 0x3B})});
    EXPECT_EQ(file, expected);

    // A replaced screen field keeps the screen tags out; the image tags still apply,
    // and collected tables and extensions stand instead of theirs.
    const auto replaced = with_metadata(
        tree({group("LogicalScreenDescriptor", 32, {number("PixelAspectRatio", 516, KV_METAD_TYPE_U8, 9)}),
              value("GlobalColorTable", 48, KV_METAD_TYPE_BYTES, bytes_of({1, 1, 1, 2, 2, 2}), 6),
              text("CommentExtension", 254, "m")}),
        &tags.store);
    EXPECT_EQ(std::vector<uint8_t>(replaced.begin() + 6, replaced.begin() + 29),
              bytes_of({1, 0, 1, 0, 0x80, 0, 9, 1, 1, 1, 2, 2, 2, 0x21, 0xFE, 1, 'm', 0, 0x2C, 7, 0, 1, 0}));
}

TEST_F(GifWrite, AnUnknownLabelFailsThePageAfterTheOtherRecordsAreWritten) {
    Tags tags;
    tags.word(KV_GIF_TAG_EXTENSION_COUNT, 3).record(KV_GIF_TAG_EXTENSION, 0xFE, "a");
    tags.record(KV_GIF_TAG_EXTENSION, 0x02, "").record(KV_GIF_TAG_EXTENSION, 0xFE, "b");
    const SaveImage one = palette_image(1, 1, 1);
    auto r = run_entry(save_stream({}, one, nullptr, &tags.store), 0);
    EXPECT_EQ(r.codes, std::vector<int32_t>{-2479});
    EXPECT_EQ(r.stream->position, 0);
    // The records before the unknown one are written; the walk stops at the
    // first failure, as the tag records end there.
    const auto bytes = r.bytes();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 19, bytes.end()), bytes_of({0x21, 0xFE, 1, 'a', 0}));

    // Extensions collected from metadata stand instead of the tag records.
    const MetadataNode comments = tree({text("CommentExtension", 254, "a"), text("CommentExtension", 254, "b")});
    std::vector<uint8_t> buffer = {7};
    EXPECT_TRUE(save_page(Destination::memory(&buffer), one, {.metadata = &comments, .tags = &tags.store}).ok());

    // A failed append gives the application's buffer back as it was, after
    // the page wrote over its trailer, or over all of a GIF without images.
    const auto with_image = saved(palette_image(3, 3, 4));
    const std::vector<uint8_t> without_image(with_image.begin(), with_image.begin() + 13 + 6 * 3);
    for (const auto& existing : {with_image, without_image}) {
        std::vector<uint8_t> target = existing;
        EXPECT_EQ(kvtest::codes(save_page(Destination::memory(&target), one, {.append = true, .tags = &tags.store}).errors),
                  std::vector<int32_t>{-2479});
        EXPECT_EQ(target, existing);
    }
}

// A page with every kind of extension and both tables from metadata, and
// tables from tags, appended to a GIF of one image.
struct Busy {
    MetadataNode metadata = tree(
        {value("GlobalColorTable", 48, KV_METAD_TYPE_BYTES, bytes_of({1, 2, 3}), 3),
         value("LocalColorTable", 64, KV_METAD_TYPE_BYTES, bytes_of({4, 5, 6}), 3), graphic_control(2, false, 5, 0),
         text("CommentExtension", 254, "note"),
         group("ApplicationExtension", 255,
               {text("ApplicationIdentifier", 4081, "ABCDEFGH"), text("Appl.AuthenticationCode", 4082, "xyz"),
                text("ApplicationData", 4083, std::string(300, 'd'), KV_METAD_TYPE_BYTES)}),
         group("AfterImageExtensions", 4095,
               {group("PlainTextExtension", 1, {text("PlainTextData", 25, "text")})})});
    Tags tags = Tags().table(KV_GIF_TAG_GLOBAL_TABLE, bytes_of({9})).table(KV_GIF_TAG_LOCAL_TABLE, bytes_of({8}));
    SaveImage image = palette_image(40, 30, 8);
    std::vector<uint8_t> existing = GifWrite::saved(palette_image(3, 3, 4));
    std::unique_ptr<HostStream> stream(bool append) const {
        return save_stream(append ? existing : std::vector<uint8_t>{}, image, &metadata, &tags.store);
    }
};

TEST_F(GifWrite, EveryAllocationWriteAndSeekFailing) {
    const Busy busy;
    for (bool append : {false, true}) {
        SCOPED_TRACE(append ? "appended" : "new file");
        const size_t blocks = kvhost::memory::blocks_outstanding();
        int failures = 0;
        for (uint64_t n = 1;; ++n) {
            kvhost::memory::fail_nth_allocation(n);
            const auto r = run_entry(busy.stream(append), 0);
            kvhost::memory::clear_faults();
            EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks) << "allocation " << n;
            if (r.status == 0) break;
            ++failures;
            ASSERT_FALSE(r.codes.empty());
            EXPECT_TRUE(r.codes[0] == -1000 || r.codes[0] == kvhost::host_error::kNoMemory) << r.codes[0];
            EXPECT_EQ(r.stream->position, 0) << "allocation " << n;
        }
        EXPECT_GE(failures, 10);

        const auto whole = run_entry(busy.stream(append), 0);
        ASSERT_EQ(whole.status, 0);
        const int64_t start = append ? static_cast<int64_t>(busy.existing.size()) - 1 : 0;
        const int64_t written = whole.stream->position - start;
        for (int64_t k = 0; k < written; ++k) {
            auto stream = busy.stream(append);
            stream->faults.write_budget = k;  // appending reads the old file first, and writes nothing before
            const auto r = run_entry(std::move(stream), 0);
            ASSERT_NE(r.status, 0) << "write budget " << k;
            EXPECT_EQ(r.stream->position, 0);
            for (int32_t code : r.codes) EXPECT_TRUE((code >= -2072 && code <= -2070) || code == -2393) << code;
            if (k == written - 1) {
                EXPECT_EQ(r.codes, std::vector<int32_t>{-2393});
                EXPECT_EQ(r.errors[0].details[1], start + written - 1);
            }
        }
        auto unseekable = busy.stream(append);
        unseekable->faults.fail_seeks = true;
        EXPECT_EQ(run_entry(std::move(unseekable), 0).codes, std::vector<int32_t>{-2453});
    }
}

TEST_F(GifWrite, ShortBlocksAndRowsThatFail) {
    // The last sub-block written short is an error of its own, not found
    // only when the trailer fails after it: 1 x 1 data is 02 02 44 01 00.
    const SaveImage one = palette_image(1, 1, 1);
    const int64_t before_data = static_cast<int64_t>(run_entry(save_stream({}, one), 1).bytes().size()) - 6;
    auto short_block = save_stream({}, one);
    short_block->faults.write_budget = before_data + 1 + 2;
    EXPECT_EQ(run_entry(std::move(short_block), 1).codes, std::vector<int32_t>{-2071});

    // An image without rows is refused: readers refuse such a file.
    const auto empty = run_entry(save_stream({}, palette_image(5, 0, 4)), 1);
    EXPECT_EQ(empty.codes, std::vector<int32_t>{-2414});
    EXPECT_EQ(empty.bytes(), std::vector<uint8_t>{});

    // Row 0 refused, or handed over without its bytes: nothing after the
    // minimum code size. A later row: the data still ends with the end code
    // and the terminator.
    const SaveImage three_rows = palette_image(5, 3, 4);
    for (const bool null_row : {false, true})
    for (int64_t row : {0, 1}) {
        auto stream = save_stream({}, three_rows);
        (null_row ? stream->faults.null_converted_row : stream->faults.fail_converted_row) = row;
        const auto r = run_entry(std::move(stream), 0);
        EXPECT_EQ(r.codes, std::vector<int32_t>{null_row ? -2112 : kvhost::host_error::kStream});
        EXPECT_EQ(r.stream->position, 0);
        const auto bytes = r.bytes();
        const size_t data = 13 + 48 + 8 + 10;
        ASSERT_GT(bytes.size(), data);
        EXPECT_EQ(bytes[data], 4);
        const size_t ends_at = row == 0 ? data + 1 : data + 2 + bytes[data + 1] + 1;
        EXPECT_EQ(bytes.size(), ends_at);
        EXPECT_EQ(bytes.back(), row == 0 ? 4 : 0);
    }
}

TEST_F(GifWrite, BoundsKeptOnValuesThatDoNotFit) {
    // Indices above the code size are masked: the stream stays a valid one.
    const SaveImage image = palette_image(64, 64, 4);
    auto clean = run_entry(save_stream({}, image), 1);
    auto stream = save_stream({}, image);
    stream->faults.stray_index_bits = 0xF0;
    EXPECT_EQ(run_entry(std::move(stream), 1).bytes(), clean.bytes());

    // Data of more than 65,535 bytes is written whole; an authentication code
    // longer than the block size byte can count is cut to 247 bytes.
    const MetadataNode big = tree(
        {group("ApplicationExtension", 255,
               {text("ApplicationIdentifier", 4081, "LONGDATA"),
                text("Appl.AuthenticationCode", 4082, std::string(300, 'a'), KV_METAD_TYPE_U8),
                text("ApplicationData", 4083, std::string(70000, 'd'), KV_METAD_TYPE_BYTES)}),
         group("PlainTextExtension", 1, {text("PlainTextData", 25, std::string(65536, 't'))})});
    const auto file = with_metadata(big);
    const size_t at = 13 + 6;
    ASSERT_EQ(std::vector<uint8_t>(file.begin() + at, file.begin() + at + 3), bytes_of({0x21, 0xFF, 255}));
    size_t p = at + 3 + 255;
    size_t data = 0;
    while (file.at(p) != 0) data += file[p], p += file[p] + 1;
    EXPECT_EQ(data, 70000u);
    p += 1 + 15;
    data = 0;
    while (file.at(p) != 0) data += file[p], p += file[p] + 1;
    EXPECT_EQ(data, 65536u);
}

// The host calls that shape a save, in order: conversion through the format
// callback, the look for an existing GIF, collection, the announcements
// around the header and descriptors, rows, and the clean-up.
TEST_F(GifWrite, HostCallsOfAOnePixelSave) {
    const SaveImage one = palette_image(1, 1, 1);
    auto stream = save_stream({}, one);
    kvhost::recording::start();
    const auto r = run_entry(std::move(stream), 0);
    kvhost::recording::stop();
    ASSERT_EQ(r.status, 0);
    std::vector<std::string> shape;
    for (const auto& call : kvhost::recording::calls_of(
             {"IO_DIB_convert_get", "GPb_PixStruct_create", "GPb_FC_GetConversionParamsForSaving",
              "GPb_PixStruct_delete", "IO_byte_order_set", "IO_metad_item_add", "IO_metad_item_set", "IO_seek",
              "IO_tag_get_exists", "IO_attribute_get", "IO_raster_convert_get", "AF_memm_free_all",
              "DIB_info_delete"})) {
        const bool named = call.service == "IO_metad_item_set";
        shape.push_back(named ? call.args.at(2) + (call.args.at(4) == "1" ? " {" : " }") : call.service);
    }
    EXPECT_EQ(shape, (std::vector<std::string>{
                         "IO_DIB_convert_get", "GPb_PixStruct_create", "GPb_PixStruct_create", "GPb_PixStruct_create",
                         "GPb_FC_GetConversionParamsForSaving", "GPb_PixStruct_delete", "GPb_PixStruct_delete",
                         "GPb_PixStruct_delete", "IO_byte_order_set", "IO_metad_item_add", "\"GIF\" {",
                         "IO_tag_get_exists", "IO_seek", "\"LogicalScreenDescriptor\" {", "\"Fields\" {",
                         "\"Fields\" }", "\"LogicalScreenDescriptor\" }", "IO_attribute_get", "IO_attribute_get",
                         "\"ImageDescriptor\" {", "\"Fields\" {", "\"Fields\" }", "\"ImageDescriptor\" }",
                         "IO_raster_convert_get", "\"GIF\" }", "AF_memm_free_all", "DIB_info_delete"}));
}

TEST_F(GifWrite, ImagesThatCannotBeSavedAreRefusedBeforeAnythingIsWritten) {
    const SaveImage good = palette_image(4, 4, 8);
    struct Case {
        const char* what;
        void (*spoil)(SaveImage&);
    };
    const Case cases[] = {
        {"no width", [](SaveImage& i) { i.width = 0; }},
        {"taller than a GIF", [](SaveImage& i) { i.height = 70000; }},
        {"palette depth 9", [](SaveImage& i) { i.depth = 9; }},
        {"grey of 16 bits", [](SaveImage& i) { i.kind = SaveImage::Kind::kGrey, i.depth = 16; }},
        {"a row short", [](SaveImage& i) { i.pixels.resize(12); }},
        {"257 palette entries", [](SaveImage& i) { i.palette.resize(1028); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SaveImage image = good;
        c.spoil(image);
        std::vector<uint8_t> buffer = saved(good);
        const auto before = buffer;
        const auto r = save_page(Destination::memory(&buffer), image, {.append = true});
        EXPECT_EQ(kvtest::codes(r.errors), std::vector<int32_t>{kvhost::host_error::kBadArgument});
        EXPECT_EQ(buffer, before);
    }
}

}  // namespace
