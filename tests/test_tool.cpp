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

using kvtest::temp_path;

const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

// Runs the tool and checks its exit status and that each part is in its output.
kvtest::ToolRun expect_run(const std::string& arguments, int status, std::initializer_list<std::string> parts = {}) {
    const kvtest::ToolRun run = kvtest::run_tool(arguments);
    EXPECT_EQ(run.status, status) << arguments << "\n" << run.out;
    for (const std::string& part : parts) EXPECT_TRUE(kvtest::contains(run.out, part)) << part << "\n" << run.out;
    return run;
}

// The indices of a GIF page as the application API loads it.
std::vector<uint8_t> page_indices(const std::string& file, uint32_t page, kvhost::gif::PageResult* result) {
    kvtest::component();
    *result = kvhost::gif::load_page(kvhost::gif::Source::file(file), page);
    return result->image != nullptr ? giftest::indices_of(*result->image) : std::vector<uint8_t>{};
}

TEST(Tool, VersionFormatsProbeAndUsage) {
    expect_run("version", 0, {"LZW 19.2.0 (built Jul  3 2018)\nTarsenic Ombrolux19 LZW component\n"});
    expect_run("formats --json", 0,
               {"\"name\": \"GIF\", \"pattern\": \"*.gif\", \"format\": 14",
                "{\"name\": \"VERSION\", \"type\": 5, \"size\": 4, \"default\": 89}",
                "{\"name\": \"WIDTH\", \"type\": 12, \"size\": 8, \"default\": 0}", "\"name\": \"TIFF\""});

    EXPECT_EQ(expect_run("probe " + kSample, 0).out, "GIF\n");
    EXPECT_EQ(expect_run("probe " + kvtest::corpus_path("tiff/derived/palette-1c-4b-lzw.tif"), 0).out, "TIFF\n");
    expect_run("probe " + kvtest::corpus_path("gif/wuffs/not-gif/pjw-thumbnail.png"), 1,
               {"no registered filter recognises this file"});
    expect_run("version --module /nonexistent/libkvLZW19d.so", 1, {"cannot load the component"});

    for (const char* usage : {"", "frobnicate", "probe", "version --bogus", "version --module"})
        expect_run(usage, 2);
    expect_run("probe --help", 0, {"Usage: kvlzw probe FILE"});
    expect_run("--help", 0);
}

TEST(GifTool, InfoDescribesThePageInTextAndJson) {
    expect_run("info " + kSample + " --page 2", 0,
               {"GIF89a, logical screen 11x29, 3 pages, duration 2500 ms",
                "page 2: 7x16 at (2, 11), depth 4, palette 16 entries, not interlaced",
                "      LogicalScreenWidth (513) = 11", "  1511 = 1\n"});
    expect_run("info " + kSample + " --json --page 3", 0,
               {"{\"format\": \"GIF\", \"version\": \"89a\", \"pages\": 3, \"duration_ms\": 2500, \"screen\": {\"width\": 11, \"height\": 29}",
                "\"page\": {\"number\": 3, \"left\": 2, \"top\": 2, \"width\": 7, \"height\": 16, \"depth\": 4",
                "\"interlaced\": false, \"transparent_index\": null", "\"metadata\": [{\"name\": \"GIF\", \"id\": 14",
                "\"tags\": [{\"tag\": 1500, \"value\": \"89a\"}"});
    // A transparent page reports its index.
    expect_run("info " + kvtest::corpus_path("gif/pygif/transparent.gif") + " --json", 0, {"\"transparent_index\": 2"});

    // The last page of a file without a trailer is described (its pixels are
    // not read); a page past the last says how many there are.
    const std::string no_trailer = kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif");
    expect_run("info " + no_trailer + " --page 15", 0, {"page 15: 30x20"});
    expect_run("info " + no_trailer + " --page 16", 1, {"page 16 of 15: the file has 15 pages"});
}

TEST(GifTool, DecodeWritesIndicesAndPalettePngs) {
    const std::string file = kvtest::corpus_path("gif/giflib/welcome2.gif");
    kvhost::gif::PageResult r;
    const auto indices = page_indices(file, 4, &r);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.has_attribute(KV_ATTR_TRANSPARENT_INDEX));
    const uint8_t transparent = static_cast<uint8_t>(r.attribute(KV_ATTR_TRANSPARENT_INDEX));

    const std::string bin = temp_path("gif.bin");
    expect_run("decode " + file + " --page 4 -o " + bin, 0);
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    // The fast default and the smallest file hold the same image.
    const std::string png_path = temp_path("gif.png");
    for (const char* level : {"", " --png-level 9"}) {
        expect_run("decode " + file + " --page 4 -o " + png_path + level, 0);
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
            const bool clear = indices[i] == transparent;
            EXPECT_EQ(got[3], clear ? 0 : 255) << i;
            if (!clear) {
                EXPECT_EQ(std::vector(got, got + 3), (std::vector{entry[2], entry[1], entry[0]})) << i;
            }
        }
        std::remove(png_path.c_str());
    }
    expect_run("decode " + file + " --page 4 --png-level 10 -o " + png_path, 2);

    // A page past the end: nothing written, the error shown, exit 1.
    expect_run("decode " + file + " --page 9 -o " + png_path, 1, {"error -2005"});
    EXPECT_NE(access(png_path.c_str(), F_OK), 0);
    expect_run("decode " + file + " --page x -o " + png_path, 2);
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
    expect_run("decode " + file + " --page 15 -o " + bin, 0, {"warning: error -2100"});
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    expect_run("decode " + file + " --page 15 --strict -o " + bin, 1);
    EXPECT_NE(access(bin.c_str(), F_OK), 0) << "--strict writes nothing";
}

TEST(TiffTool, BinHoldsTheDeliveredRowsAndPngTheRightKind) {
    const std::string source = kvtest::corpus_path("tiff/derived/minisblack-1c-16b-lzw-pred2-be.tif");
    const std::string bin = temp_path("grey16.bin");
    expect_run("decode " + source + " -o " + bin, 0);
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
        SCOPED_TRACE(e.file);
        expect_run("decode " + kvtest::corpus_path(e.file) + " -o " + png, 0);
        const kvtest::Png p = kvtest::read_png(png);
        EXPECT_EQ(std::pair(p.color_type, p.bit_depth), std::pair(e.color_type, e.bit_depth)) << "colour type and bit depth";
        std::remove(png.c_str());
    }
}

TEST(TiffTool, InfoPrintsTheServiceArgumentsAndRefusalsAreClear) {
    expect_run("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/oxford.tif") + " --json", 0,
               {"\"width\": 601, \"height\": 81, \"byte_order\": \"big-endian\"", "\"planar_config\": 2",
                "\"rows_per_strip\": 1, \"strip_count\": 81, \"strips_per_plane\": 81"});

    expect_run("decode " + kvtest::corpus_path("tiff/libtiff/palette-1c-8b.tiff") + " -o " + temp_path("x.png"), 1,
               {"compression 1 is not LZW"});
    expect_run("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/quad-tile.tif"), 1,
               {"tiled images are not read"});
    EXPECT_FALSE(std::filesystem::exists(temp_path("x.png")));
}

}  // namespace
