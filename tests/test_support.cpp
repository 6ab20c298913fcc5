#include "test_support.h"

#include <png.h>
#include <zlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kvtest {

kvhost::Component& component() {
    static std::unique_ptr<kvhost::Component> loaded = [] {
        std::string error;
        auto c = kvhost::Component::load(KVLZW_MODULE_PATH, &error);
        if (c == nullptr) ADD_FAILURE() << error;
        return c;
    }();
    return *loaded;
}

void restart_component() {
    kvhost::clear_component_faults();
    kvhost::clear_registry_faults();
    kvhost::memory::clear_faults();
    component().stop();
    ASSERT_EQ(component().start(), 0);
    kvhost::clear_errors();
}

void CleanTest::SetUp() {
    component();
    kvhost::clear_errors();
    kvhost::memory::clear_faults();
    blocks_before_ = kvhost::memory::blocks_outstanding();
}

void CleanTest::TearDown() {
    kvhost::memory::clear_faults();
    kvhost::clear_errors();
    EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before_) << "the test left blocks allocated";
}

static kvhost::Filter registered_filter(uint32_t format) {
    component();
    return kvhost::Filter(kvhost::find_filter(format));
}
kvhost::Filter gif_filter() { return registered_filter(KV_FORMAT_GIF); }
kvhost::Filter raw_filter() { return registered_filter(KV_FORMAT_RAW_LZW); }

std::vector<int32_t> codes(const std::vector<kvhost::ErrorRecord>& records) {
    std::vector<int32_t> out;
    for (const auto& record : records) out.push_back(record.code);
    return out;
}

std::vector<int32_t> error_codes() { return codes(kvhost::error_records()); }

// KVLZW_CORPUS_DIR in the environment stands instead of the build's path.
std::string corpus_root() {
    const char* given = std::getenv("KVLZW_CORPUS_DIR");
    return given != nullptr ? given : KVLZW_CORPUS_DIR;
}

std::string corpus_path(const std::string& relative) { return corpus_root() + "/" + relative; }

bool corpus_present() { return std::filesystem::is_directory(corpus_root()); }

std::vector<std::string> corpus_files(const std::string& extension) {
    const std::string root = corpus_root();
    std::vector<std::string> files;
    if (!corpus_present()) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == extension) {
            files.push_back(std::filesystem::relative(entry.path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

ToolRun run_tool(const std::string& arguments) { return run_shell(std::string(KVLZW_TOOL_PATH) + " " + arguments); }

ToolRun run_shell(const std::string& commands) {
    ToolRun result;
    const std::string command = "{ " + commands + "; } 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void expect(const ToolRun& run, int status, const std::vector<std::string>& parts, const std::string& what) {
    EXPECT_EQ(run.status, status) << what << "\n" << run.out;
    for (const std::string& part : parts)
        EXPECT_TRUE(contains(run.out, part)) << what << ": no \"" << part << "\" in\n" << run.out;
}

ToolRun expect_run(const std::string& arguments, int status, const std::vector<std::string>& parts) {
    ToolRun run = run_tool(arguments);
    expect(run, status, parts, arguments);
    return run;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Png read_png(const std::string& path) {
    Png r;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return r;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    r.color_type = png_get_color_type(png, info);
    r.bit_depth = png_get_bit_depth(png, info);
    png_color_8p sbit = nullptr;
    if (png_get_sBIT(png, info, &sbit) != 0) r.significant = sbit->red != 0 ? sbit->red : sbit->gray;
    png_bytep trans = nullptr;
    int trans_count = 0;
    if (png_get_tRNS(png, info, &trans, &trans_count, nullptr) != 0 && trans != nullptr)
        r.palette_alpha.assign(trans, trans + trans_count);
    const size_t row_bytes = png_get_rowbytes(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (uint32_t y = 0; y < png_get_image_height(png, info); ++y)
        for (size_t i = 0; i < row_bytes; i += r.bit_depth == 16 ? 2 : 1)
            r.samples.push_back(r.bit_depth == 16 ? uint32_t{rows[y][i]} << 8 | rows[y][i + 1] : rows[y][i]);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return r;
}

std::vector<uint8_t> read_rgba_png(const std::string& path, uint32_t* width, uint32_t* height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return {};
    *width = image.width;
    *height = image.height;
    return pixels;
}

static std::string big_endian(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string png_chunk(const std::string& type, const std::string& body) {
    const std::string checked = type + body;
    return big_endian(uint32_t(body.size())) + checked +
           big_endian(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(checked.data()), uInt(checked.size()))));
}

std::string grey_png(uint32_t width, uint32_t height, const std::string& stream, const std::string& before_data,
                     size_t data_pieces, int bit_depth) {
    const std::string header = big_endian(width) + big_endian(height) + std::string{char(bit_depth), 0, 0, 0, 0};
    std::string out = "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", header) + before_data;
    const size_t piece = (stream.size() + data_pieces - 1) / data_pieces;
    for (size_t at = 0; at < stream.size(); at += piece) out += png_chunk("IDAT", stream.substr(at, piece));
    return out + png_chunk("IEND", "");
}

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "kvlzw_test_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace kvtest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
