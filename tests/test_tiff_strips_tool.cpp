// kvlzw decode and info on TIFF files: .bin is the delivered rows, PNG gets
// the right kind, CMYK is converted, non-LZW and tiled files are refused.
#include "test_support.h"

#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace {

using kvtest::ToolRun;
using kvtest::run_tool;

std::string temp(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("kvlzw_tifftool_" + std::to_string(getpid()) + "_" + name))
        .string();
}

// Colour type and bit depth of a PNG file, read with libpng.
bool png_kind(const std::string& path, int* color_type, int* bit_depth, uint32_t* width) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    *color_type = png_get_color_type(png, info);
    *bit_depth = png_get_bit_depth(png, info);
    *width = png_get_image_width(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return true;
}

}  // namespace

TEST(TiffTool, BinHoldsTheDeliveredRowsAndPngTheRightKind) {
    const std::string source = kvtest::corpus_path("tiff/derived/minisblack-1c-16b-lzw-pred2-be.tif");
    const std::string bin = temp("grey16.bin");
    ToolRun r = run_tool("decode " + source + " -o " + bin);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string error;
    kvtest::component();
    auto stream = kvhost::file_stream(source, kvhost::FileMode::kRead, &error);
    ASSERT_EQ(kvhost::tiff_load(stream.get(), 0), 0);
    EXPECT_EQ(kvtest::read_file(bin), stream->sink.image->pixels);
    std::remove(bin.c_str());

    struct Expect {
        const char* file;
        int color_type;
        int bit_depth;
    };
    const Expect cases[] = {
        {"tiff/derived/minisblack-1c-16b-lzw-pred2-le.tif", PNG_COLOR_TYPE_GRAY, 16},
        {"tiff/pillow/tiff_16bit_RGBa.tiff", PNG_COLOR_TYPE_RGB_ALPHA, 16},
        {"tiff/derived/palette-1c-4b-lzw.tif", PNG_COLOR_TYPE_PALETTE, 8},
        {"tiff/derived/cmyk-8b-contig-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/derived/cmyk-16b-planar-lzw-pred2.tif", PNG_COLOR_TYPE_RGB, 16},
        {"tiff/derived/hopper-Lab-lzw.tif", PNG_COLOR_TYPE_RGB, 8},
        {"tiff/image-tiff/libtiffpic/ycbcr-cat.tif", PNG_COLOR_TYPE_RGB, 8},
    };
    for (const Expect& e : cases) {
        if (std::string(e.file).find("4b") != std::string::npos && !kvhost::service_implemented("iKV_IP_raster_unpack"))
            continue;
        const std::string png = temp("out.png");
        r = run_tool("decode " + kvtest::corpus_path(e.file) + " -o " + png);
        ASSERT_EQ(r.status, 0) << e.file << ": " << r.out;
        int color_type = -1, bit_depth = -1;
        uint32_t width = 0;
        ASSERT_TRUE(png_kind(png, &color_type, &bit_depth, &width)) << e.file;
        EXPECT_EQ(color_type, e.color_type) << e.file;
        EXPECT_EQ(bit_depth, e.bit_depth) << e.file;
        std::remove(png.c_str());
    }
}

TEST(TiffTool, InfoPrintsTheServiceArgumentsAndRefusalsAreClear) {
    ToolRun r = run_tool("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/oxford.tif") + " --json");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\"width\": 601, \"height\": 81, \"byte_order\": \"big-endian\""), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"planar_config\": 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"rows_per_strip\": 1, \"strip_count\": 81, \"strips_per_plane\": 81"), std::string::npos)
        << r.out;

    r = run_tool("decode " + kvtest::corpus_path("tiff/libtiff/palette-1c-8b.tiff") + " -o " + temp("x.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("compression 1 is not LZW"), std::string::npos) << r.out;
    r = run_tool("info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/quad-tile.tif"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("tiled images are not read"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(temp("x.png")));
}
