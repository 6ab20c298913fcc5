// Shared test helpers: the component, loaded once and started, and checks
// of what an operation left behind.
#pragma once

#include "kvhost/component.h"
#include "kvhost/errors.h"
#include "kvhost/filters.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvtest {

// The started component (loaded on first use, kept for the whole run).
kvhost::Component& component();
// Stops and starts the component again, with faults cleared.
void restart_component();

// Starts with the component loaded and no errors or faults left over; ends
// with nothing allocated that the test did not hold before.
class CleanTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    size_t blocks_before_ = 0;
};

kvhost::Filter gif_filter();
kvhost::Filter raw_filter();

// Error codes of these records, or of this thread's records, oldest first.
std::vector<int32_t> codes(const std::vector<kvhost::ErrorRecord>& records);
std::vector<int32_t> error_codes();

std::string corpus_root();
std::string corpus_path(const std::string& relative);
// Whether the shared corpus is there.
bool corpus_present();
// Every file of the corpus with this extension, relative to it, sorted.
std::vector<std::string> corpus_files(const std::string& extension);

// The kvlzw tool run with these arguments: exit status and stdout+stderr.
struct ToolRun {
    int status = -1;
    std::string out;
};
ToolRun run_tool(const std::string& arguments);
// Shell commands (KVLZW_TOOL_PATH names the tool), with stdout and stderr.
ToolRun run_shell(const std::string& commands);
// Checks a run's exit status and that each part is in its output.
void expect(const ToolRun& run, int status, const std::vector<std::string>& parts, const std::string& what);
// The tool run with these arguments, checked as above.
ToolRun expect_run(const std::string& arguments, int status, const std::vector<std::string>& parts = {});
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// A PNG file as libpng reads it, without transformations (colour type -1
// when there is no such file).
struct Png {
    int color_type = -1, bit_depth = -1, significant = 0;  // significant: sBIT of red, or grey
    std::vector<uint32_t> samples;                          // row after row
    std::vector<uint8_t> palette_alpha;                     // tRNS entries of a palette PNG
};
Png read_png(const std::string& path);
// A PNG's pixels as RGBA (empty when there is no such file), and its size.
std::vector<uint8_t> read_rgba_png(const std::string& path, uint32_t* width, uint32_t* height);
// A grey PNG put together chunk by chunk, for damage no encoder writes: the
// zlib stream cut into `data_pieces` data chunks, `before_data` before them.
std::string png_chunk(const std::string& type, const std::string& body);
std::string grey_png(uint32_t width, uint32_t height, const std::string& stream, const std::string& before_data = "",
                     size_t data_pieces = 1, int bit_depth = 8);
// A file name in the temporary directory, unique to this process.
std::string temp_path(const std::string& name);
inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace kvtest

// First statement of a test that reads the shared corpus: without it the
// test is skipped with a message instead of failing on missing files.
#define KVTEST_NEEDS_CORPUS() \
    if (!kvtest::corpus_present()) GTEST_SKIP() << "the corpus is missing at " << kvtest::corpus_root()
