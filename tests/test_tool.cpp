// The kvlzw tool as a user runs it: exit codes, output and error messages;
// info and decode on GIF and TIFF files (.bin is the delivered rows or
// indices, PNG gets the right kind, non-LZW and tiled TIFFs are refused).
#include "gif_test_files.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

using kvtest::contains;
using kvtest::run_tool;
using kvtest::temp_path;
using kvtest::ToolRun;

const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

// Runs the tool: its exit status, and a part of its output when given.
void expect_run(const std::string& arguments, int status, const std::string& part = "") {
    const ToolRun run = run_tool(arguments);
    EXPECT_EQ(run.status, status) << arguments << "\n" << run.out;
    if (!part.empty()) {
        EXPECT_TRUE(contains(run.out, part)) << arguments << "\n" << run.out;
    }
}

// Colour type and bit depth of a PNG file, read with libpng.
bool png_kind(const std::string& path, int* color_type, int* bit_depth) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    *color_type = png_get_color_type(png, info);
    *bit_depth = png_get_bit_depth(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return true;
}

// The indices of a GIF page as the application API loads it.
std::vector<uint8_t> page_indices(const std::string& file, uint32_t page, kvhost::gif::PageResult* result) {
    kvtest::component();
    *result = kvhost::gif::load_page(kvhost::gif::Source::file(file), page);
    return result->image != nullptr ? giftest::indices_of(*result->image) : std::vector<uint8_t>{};
}

TEST(Tool, VersionFormatsProbeAndUsage) {
    expect_run("version", 0, "LZW 19.2.0 (built Jul  3 2018)\nTarsenic Ombrolux19 LZW component\n");
    const ToolRun formats = run_tool("formats --json");
    EXPECT_EQ(formats.status, 0);
    for (const char* part : {"\"name\": \"GIF\", \"pattern\": \"*.gif\", \"format\": 14",
                             "{\"name\": \"VERSION\", \"type\": 5, \"size\": 4, \"default\": 89}",
                             "{\"name\": \"WIDTH\", \"type\": 12, \"size\": 8, \"default\": 0}"})
        EXPECT_TRUE(contains(formats.out, part)) << part << "\n" << formats.out;

    const ToolRun gif = run_tool("probe " + kSample);
    EXPECT_EQ(gif.status, 0);
    EXPECT_EQ(gif.out, "GIF\n");
    expect_run("probe " + kvtest::corpus_path("gif/wuffs/not-gif/pjw-thumbnail.png"), 1,
               "no registered filter recognises this file");
    expect_run("probe /nonexistent/file.gif", 1, "cannot open /nonexistent/file.gif");
    expect_run("version --module /nonexistent/libkvLZW19d.so", 1, "cannot load the component");

    for (const char* usage : {"", "frobnicate", "probe", "version --bogus", "version --module"})
        expect_run(usage, 2);
    expect_run("probe --help", 0, "Usage: kvlzw probe FILE");
    expect_run("--help", 0);
}

TEST(GifTool, InfoDescribesThePageInTextAndJson) {
    ToolRun text = run_tool("info " + kSample + " --page 2");
    ASSERT_EQ(text.status, 0) << text.out;
    EXPECT_TRUE(contains(text.out, "GIF89a, logical screen 11x29, 3 pages")) << text.out;
    EXPECT_TRUE(contains(text.out, "page 2: 7x16 at (2, 11), depth 4, palette 16 entries, not interlaced")) << text.out;
    EXPECT_TRUE(contains(text.out, "      LogicalScreenWidth (513) = 11")) << text.out;
    EXPECT_TRUE(contains(text.out, "  1511 = 1\n")) << text.out;

    ToolRun json = run_tool("info " + kSample + " --json --page 3");
    ASSERT_EQ(json.status, 0) << json.out;
    for (const char* part :
         {"{\"format\": \"GIF\", \"version\": \"89a\", \"pages\": 3, \"screen\": {\"width\": 11, \"height\": 29}",
          "\"page\": {\"number\": 3, \"left\": 2, \"top\": 2, \"width\": 7, \"height\": 16, \"depth\": 4",
          "\"interlaced\": false, \"transparent_index\": null", "\"metadata\": [{\"name\": \"GIF\", \"id\": 14",
          "\"tags\": [{\"tag\": 1500, \"value\": \"89a\"}"}) {
        EXPECT_TRUE(contains(json.out, part)) << part << "\n" << json.out;
    }
    // A transparent page reports its index.
    ToolRun transparent = run_tool("info " + kvtest::corpus_path("gif/pygif/transparent.gif") + " --json");
    EXPECT_TRUE(contains(transparent.out, "\"transparent_index\": 2")) << transparent.out;

    // A file without a trailer: the page is shown, the error reported, exit 1.
    const std::string no_trailer = "info " + kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif") + " --page 15";
    expect_run(no_trailer, 1, "page 15: 30x20");
    expect_run(no_trailer, 1, "error -2100");
}

TEST(GifTool, DecodeWritesIndicesAndPalettePngs) {
    const std::string file = kvtest::corpus_path("gif/giflib/welcome2.gif");
    kvhost::gif::PageResult r;
    const auto indices = page_indices(file, 4, &r);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.has_attribute(KV_ATTR_TRANSPARENT_INDEX));
    const uint8_t transparent = static_cast<uint8_t>(r.attribute(KV_ATTR_TRANSPARENT_INDEX));

    const std::string bin = temp_path("gif.bin");
    ToolRun decode = run_tool("decode " + file + " --page 4 -o " + bin);
    ASSERT_EQ(decode.status, 0) << decode.out;
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    const std::string png_path = temp_path("gif.png");
    decode = run_tool("decode " + file + " --page 4 -o " + png_path);
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
    expect_run("decode " + file + " --page 9 -o " + png_path, 1, "error -2005");
    EXPECT_NE(access(png_path.c_str(), F_OK), 0);
    EXPECT_EQ(run_tool("decode " + file + " --page x -o " + png_path).status, 2);
}

TEST(GifTool, DecodeRecoversAPageWhoseRowsAllArrived) {
    // The last page of a file without a trailer: every row arrives, then the
    // read after the image fails.
    const std::string file = kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif");
    kvhost::gif::PageResult r;
    const auto indices = page_indices(file, 15, &r);
    ASSERT_FALSE(r.ok());
    ASSERT_NE(r.image, nullptr);

    const std::string bin = temp_path("recovered.bin");
    ToolRun decode = run_tool("decode " + file + " --page 15 -o " + bin);
    EXPECT_EQ(decode.status, 0) << decode.out;
    EXPECT_TRUE(contains(decode.out, "warning: error -2100")) << decode.out;
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    ToolRun strict = run_tool("decode " + file + " --page 15 --strict -o " + bin);
    EXPECT_EQ(strict.status, 1) << strict.out;
    EXPECT_NE(access(bin.c_str(), F_OK), 0) << "--strict writes nothing";
}

TEST(TiffTool, BinHoldsTheDeliveredRowsAndPngTheRightKind) {
    const std::string source = kvtest::corpus_path("tiff/derived/minisblack-1c-16b-lzw-pred2-be.tif");
    const std::string bin = temp_path("grey16.bin");
    ToolRun r = run_tool("decode " + source + " -o " + bin);
    ASSERT_EQ(r.status, 0) << r.out;
    kvtest::component();
    auto stream = kvhost::file_stream(source, kvhost::FileMode::kRead, nullptr);
    ASSERT_EQ(kvhost::tiff_load(stream.get(), 0), 0);
    EXPECT_EQ(kvtest::read_file(bin), stream->sink.image->pixels);
    std::remove(bin.c_str());

    const struct {
        const char* file;
        int color_type, bit_depth;
    } cases[] = {
        {"tiff/derived/minisblack-1c-16b-lzw-pred2-le.tif", PNG_COLOR_TYPE_GRAY, 16},
        {"tiff/pillow/tiff_16bit_RGBa.tiff", PNG_COLOR_TYPE_RGB_ALPHA, 16},
        {"tiff/derived/palette-1c-4b-lzw.tif", PNG_COLOR_TYPE_PALETTE, 8},
        {"tiff/derived/cmyk-8b-contig-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/derived/cmyk-16b-planar-lzw-pred2.tif", PNG_COLOR_TYPE_RGB, 16},
        {"tiff/derived/hopper-Lab-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/image-tiff/libtiffpic/ycbcr-cat.tif", PNG_COLOR_TYPE_RGB, 8},
    };
    for (const auto& e : cases) {
        const std::string png = temp_path("out.png");
        r = run_tool("decode " + kvtest::corpus_path(e.file) + " -o " + png);
        ASSERT_EQ(r.status, 0) << e.file << ": " << r.out;
        int color_type = -1, bit_depth = -1;
        ASSERT_TRUE(png_kind(png, &color_type, &bit_depth)) << e.file;
        EXPECT_EQ(color_type, e.color_type) << e.file;
        EXPECT_EQ(bit_depth, e.bit_depth) << e.file;
        std::remove(png.c_str());
    }
}

TEST(TiffTool, InfoPrintsTheServiceArgumentsAndRefusalsAreClear) {
    ToolRun r = run_tool("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/oxford.tif") + " --json");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "\"width\": 601, \"height\": 81, \"byte_order\": \"big-endian\""))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\"planar_config\": 2")) << r.out;
    EXPECT_TRUE(contains(r.out, "\"rows_per_strip\": 1, \"strip_count\": 81, \"strips_per_plane\": 81"))
        << r.out;

    expect_run("decode " + kvtest::corpus_path("tiff/libtiff/palette-1c-8b.tiff") + " -o " + temp_path("x.png"), 1,
               "compression 1 is not LZW");
    expect_run("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/quad-tile.tif"), 1,
               "tiled images are not read");
    EXPECT_FALSE(std::filesystem::exists(temp_path("x.png")));
}

}  // namespace
