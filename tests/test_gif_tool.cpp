// kvlzw info and kvlzw decode on GIF files, as a user runs them.
#include "kvhost/gif.h"
#include "test_support.h"

#include <png.h>

#include <cstdio>
#include <unistd.h>

namespace {

using kvtest::ToolRun;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string temp_path(const std::string& suffix) {
    return "/tmp/kvlzw-gif-tool-" + std::to_string(getpid()) + suffix;
}

const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

TEST(GifTool, InfoDescribesThePageInTextAndJson) {
    ToolRun text = kvtest::run_tool("info " + kSample + " --page 2");
    ASSERT_EQ(text.status, 0) << text.out;
    EXPECT_TRUE(contains(text.out, "GIF89a, logical screen 11x29, 3 pages")) << text.out;
    EXPECT_TRUE(contains(text.out, "page 2: 7x16 at (2, 11), depth 4, palette 16 entries, not interlaced")) << text.out;
    EXPECT_TRUE(contains(text.out, "      LogicalScreenWidth (513) = 11")) << text.out;
    EXPECT_TRUE(contains(text.out, "  1511 = 1\n")) << text.out;

    ToolRun json = kvtest::run_tool("info " + kSample + " --json --page 3");
    ASSERT_EQ(json.status, 0) << json.out;
    for (const char* part :
         {"{\"format\": \"GIF\", \"version\": \"89a\", \"pages\": 3, \"screen\": {\"width\": 11, \"height\": 29}",
          "\"page\": {\"number\": 3, \"left\": 2, \"top\": 2, \"width\": 7, \"height\": 16, \"depth\": 4",
          "\"interlaced\": false, \"transparent_index\": null", "\"metadata\": [{\"name\": \"GIF\", \"id\": 14",
          "\"tags\": [{\"tag\": 1500, \"value\": \"89a\"}"}) {
        EXPECT_TRUE(contains(json.out, part)) << part << "\n" << json.out;
    }
    // A transparent page reports its index.
    ToolRun transparent = kvtest::run_tool("info " + kvtest::corpus_path("gif/pygif/transparent.gif") + " --json");
    EXPECT_TRUE(contains(transparent.out, "\"transparent_index\": 2")) << transparent.out;

    // A file without a trailer: the page is shown, the error reported, exit 1.
    ToolRun no_trailer = kvtest::run_tool("info " + kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif") + " --page 15");
    EXPECT_EQ(no_trailer.status, 1);
    EXPECT_TRUE(contains(no_trailer.out, "page 15: 30x20")) << no_trailer.out;
    EXPECT_TRUE(contains(no_trailer.out, "error -2100")) << no_trailer.out;
}

TEST(GifTool, DecodeWritesIndicesAndPalettePngs) {
    kvtest::component();
    const std::string file = kvtest::corpus_path("gif/giflib/welcome2.gif");
    const auto r = kvhost::gif::load_page(kvhost::gif::Source::file(file), 4);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.has_attribute(KV_ATTR_TRANSPARENT_INDEX));
    const uint8_t transparent = static_cast<uint8_t>(r.attribute(KV_ATTR_TRANSPARENT_INDEX));
    std::vector<uint8_t> indices;
    for (uint32_t y = 0; y < r.image->height; ++y) {
        indices.insert(indices.end(), r.image->row(y), r.image->row(y) + r.image->width);
    }

    const std::string bin = temp_path(".bin");
    ToolRun decode = kvtest::run_tool("decode " + file + " --page 4 -o " + bin);
    ASSERT_EQ(decode.status, 0) << decode.out;
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    const std::string png_path = temp_path(".png");
    decode = kvtest::run_tool("decode " + file + " --page 4 -o " + png_path);
    ASSERT_EQ(decode.status, 0) << decode.out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, png_path.c_str()));
    EXPECT_EQ(image.width, r.image->width);
    EXPECT_EQ(image.height, r.image->height);
    ASSERT_NE(image.format & PNG_FORMAT_FLAG_COLORMAP, 0u);
    image.format = PNG_FORMAT_RGBA_COLORMAP;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    std::vector<uint8_t> colormap(PNG_IMAGE_COLORMAP_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, colormap.data()));
    // Each pixel's colour is its palette entry, transparent where the index is.
    for (size_t i = 0; i < indices.size(); i += 97) {
        const uint8_t* entry = &r.image->palette[indices[i] * 4];
        const uint8_t* got = &colormap[pixels[i] * 4];
        EXPECT_EQ(got[3], indices[i] == transparent ? 0 : 255) << i;
        if (indices[i] != transparent) {
            EXPECT_EQ(got[0], entry[2]) << i;
            EXPECT_EQ(got[1], entry[1]) << i;
            EXPECT_EQ(got[2], entry[0]) << i;
        }
    }
    std::remove(png_path.c_str());

    // A page past the end: nothing written, the error shown, exit 1.
    ToolRun missing = kvtest::run_tool("decode " + file + " --page 9 -o " + png_path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.out, "error -2005")) << missing.out;
    EXPECT_NE(access(png_path.c_str(), F_OK), 0);
    EXPECT_EQ(kvtest::run_tool("decode " + file + " --page x -o " + png_path).status, 2);
}

TEST(GifTool, DecodeRecoversAPageWhoseRowsAllArrived) {
    kvtest::component();
    // The last page of a file without a trailer: every row arrives, then the
    // read after the image fails.
    const std::string file = kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif");
    const auto r = kvhost::gif::load_page(kvhost::gif::Source::file(file), 15);
    ASSERT_FALSE(r.ok());
    ASSERT_NE(r.image, nullptr);
    std::vector<uint8_t> indices;
    for (uint32_t y = 0; y < r.image->height; ++y) {
        indices.insert(indices.end(), r.image->row(y), r.image->row(y) + r.image->width);
    }

    const std::string bin = temp_path("-recovered.bin");
    ToolRun decode = kvtest::run_tool("decode " + file + " --page 15 -o " + bin);
    EXPECT_EQ(decode.status, 0) << decode.out;
    EXPECT_TRUE(contains(decode.out, "warning: error -2100")) << decode.out;
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    ToolRun strict = kvtest::run_tool("decode " + file + " --page 15 --strict -o " + bin);
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_NE(access(bin.c_str(), F_OK), 0) << "--strict writes nothing";
}

}  // namespace
