// The tool on hostile and everyday input: bounded memory under an address
// space limit, huge declared images, standard input and output, output files
// (links, read-only files, interruption), and options that do not apply.
#include "gif_test_files.h"
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using kvtest::contains;
using kvtest::temp_path;

const std::string kTool = KVLZW_TOOL_PATH;
const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

void expect(const kvtest::ToolRun& run, int status, const std::string& part, const std::string& what) {
    EXPECT_EQ(run.status, status) << what << "\n" << run.out;
    EXPECT_TRUE(contains(run.out, part)) << what << ": no \"" << part << "\" in\n" << run.out;
}

// A 1x1 page that declares a width x height screen and image.
std::vector<uint8_t> declared_gif(uint16_t width, uint16_t height) {
    giftest::GifFile file = giftest::GifFile::screen(width, height);
    return file.image(0, 0, width, height, 0, {}, 2, {0x44, 0x01}).trailer().bytes;
}

TEST(ToolLimits, EndlessAndHostileInputStopsWithinAnAddressSpaceLimit) {
    if (kSanitized) GTEST_SKIP() << "an address space limit does not suit the sanitizers' shadow memory";
    const std::string out = temp_path("endless.out");
    const std::string limit = "ulimit -v 1000000; ";
    expect(kvtest::run_shell(limit + kTool + " lzw compress /dev/zero -o " + out), 1, "memory budget",
           "compress /dev/zero");
    // (The input kept for going back or the decode buffer: whichever passes the budget first.)
    expect(kvtest::run_shell(limit + kTool + " lzw decompress /dev/zero -o " + out), 1, "memory budget",
           "decompress /dev/zero");
    expect(kvtest::run_shell(limit + "cat /dev/zero | " + kTool + " lzw decompress - --max-memory 64M -o " + out), 1,
           "cannot decompress standard input", "an endless pipe");
    // With --size only what the job needs is read.
    expect(kvtest::run_shell(limit + kTool + " lzw decompress /dev/zero --size 100 -o " + out), 0, "", "--size 100");
    EXPECT_EQ(kvtest::read_file(out), std::vector<uint8_t>(100, 0));
    std::remove(out.c_str());

    // A million graphic controls before one image fail as an error record
    // (the budget's, or the system's allocation failing), never an abort.
    giftest::GifFile many = giftest::GifFile::screen(1, 1);
    for (int i = 0; i < 1000000; ++i) many.control(0, 0, 0);
    const std::string gif = temp_path("million.gif");
    kvtest::write_file(gif, many.image_of(1, 1, {0}, 2).trailer().bytes);
    expect(kvtest::run_shell("ulimit -v 1500000; " + kTool + " decode " + gif + " -o " + out + ".bin"), 1,
           "cannot decode page 1 of " + gif, "a million extensions");
    std::remove(gif.c_str());

    // A 30000 x 30000 page in a few bytes: info describes it without pixels.
    const std::string huge = temp_path("huge.gif");
    kvtest::write_file(huge, declared_gif(30000, 30000));
    expect(kvtest::run_shell("ulimit -v 300000; " + kTool + " info " + huge), 0, "page 1: 30000x30000", "info");
    expect(kvtest::run_tool("decode " + huge + " -o " + out + ".png"), 1,
           "30000 x 30000 pixels is more than the limit of 89478485 (--max-pixels N raises it)", "decode");
    EXPECT_FALSE(std::filesystem::exists(out + ".png"));
    std::remove(huge.c_str());
}

TEST(ToolIo, StandardInputAndOutputWorkWhereFilesDo) {
    const std::string bin = temp_path("sample.bin");
    ASSERT_EQ(kvtest::run_tool("decode " + kSample + " -o " + bin).status, 0);
    const std::string piped = temp_path("piped.bin");
    expect(kvtest::run_shell("cat " + kSample + " | " + kTool + " decode - -o - --format bin > " + piped), 0, "",
           "GIF through pipes");
    EXPECT_EQ(kvtest::read_file(piped), kvtest::read_file(bin));
    expect(kvtest::run_shell(kTool + " info - < " + kvtest::corpus_path("tiff/derived/gray-4b-lzw.tif")), 0,
           "directory 0:", "TIFF on standard input");
    const std::string fifo = temp_path("fifo");
    expect(kvtest::run_shell("rm -f " + fifo + "; mkfifo " + fifo + "; cat " + kSample + " > " + fifo + " & " + kTool +
                             " info " + fifo + "; rm -f " + fifo),
           0, "page 1: 11x29", "a named pipe");
    expect(kvtest::run_shell(kTool + " lzw compress - -o - < " + kSample + " | " + kTool +
                             " lzw decompress - -o - > " + piped),
           0, "", "lzw round trip");
    EXPECT_EQ(kvtest::read_file(piped), kvtest::read_file(kSample));
    std::remove(bin.c_str());
    std::remove(piped.c_str());
}

TEST(ToolIo, OutputsFollowLinksRefuseReadOnlyFilesAndLeaveNoTemporary) {
    namespace fs = std::filesystem;
    const fs::path dir = temp_path("outputs");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string target = (dir / "target.bin").string(), link = (dir / "link.bin").string();
    fs::create_symlink("target.bin", link);
    ASSERT_EQ(kvtest::run_tool("decode " + kSample + " -o " + link).status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_GT(fs::file_size(target), 0u);

    const std::string locked = (dir / "locked.bin").string();
    kvtest::write_file(locked, {1, 2, 3});
    chmod(locked.c_str(), 0444);
    expect(kvtest::run_tool("decode " + kSample + " -o " + locked), 1, "the existing file is left as it is",
           "read-only output");
    EXPECT_EQ(kvtest::read_file(locked), (std::vector<uint8_t>{1, 2, 3}));

    // Interrupted while the PNG is written: the temporary file goes too. The
    // slowest compression of noise keeps the write going long enough for the
    // signal to land in it, also on a loaded machine.
    const std::string raw = (dir / "noise.lzw").string();
    ASSERT_EQ(kvtest::run_shell("head -c 16777216 /dev/urandom | " + kTool + " lzw compress - -o " + raw).status, 0);
    const std::string png = (dir / "noise.png").string();
    const std::string pid_file = (dir / "pid").string();
    kvtest::run_shell(kTool + " decode " + raw + " --raw --width 4096 --height 4096 --bpp 8 --png-level 9 -o " + png +
                      " >/dev/null 2>&1 & echo $! > " + pid_file);
    const std::string pid = [&] {
        std::string text;
        std::ifstream(pid_file) >> text;
        return text;
    }();
    auto partial = [&] {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (contains(entry.path().filename().string(), ".partial-")) return true;
        }
        return false;
    };
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; ++i) {
        seen = partial();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kvtest::run_shell("kill -TERM " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.01; done");
    EXPECT_TRUE(seen) << "the decode never started writing";
    EXPECT_FALSE(partial());
    EXPECT_FALSE(fs::exists(png));
    fs::remove_all(dir);
}

TEST(ToolUsage, MisplacedOptionsAreUsageErrorsAndMessagesSayWhy) {
    const std::string tiff = kvtest::corpus_path("tiff/derived/gray-4b-lzw.tif");
    const std::string raw = kvtest::corpus_path("raw/derived/gray8-157x151.raw");
    const std::string out = temp_path("usage.bin");
    const struct {
        std::string arguments;
        int status;
        std::string part;
    } cases[] = {
        {"decode " + tiff + " --page 2 -o " + out, 2, "--page applies to GIF files only"},
        {"info " + kSample + " --directory 1", 2, "--directory applies to TIFF files only"},
        {"decode " + kSample + " --width 4 -o " + out, 2, "--width applies to --raw only"},
        {"decode " + raw + " --raw --width 0 --height 151 --bpp 8 -o " + out, 2, "--width and --height must be"},
        {"decode " + kSample + " --format png -o " + out, 2, "--format applies to -o - only"},
        {"decode " + kSample + " --format gif -o -", 2, "--format takes png or bin"},
        {"info " + kSample + " --max-memory lots", 2, "--max-memory takes a size"},
        {"--version", 0, "LZW 19.2.0"},
        {"help lzw", 0, "Usage: kvlzw lzw compress"},
        {"help nothing", 2, "unknown command 'nothing'"},
        {"info /nonexistent/file.gif", 1, "cannot open /nonexistent/file.gif: No such file or directory"},
        {"info " + kSample + " --page 4", 1, "page 4 of 3: the file has 3 pages"},
        {"info " + kSample + " --page 4 --verbose", 1, "error -2005 (GIF header short, or page not found) at "},
        {"decode " + raw + " --raw --width 157 --height 152 --bpp 8 -o " + out, 0,
         "warning: " + raw + ": the LZW data ran out before all 152 declared rows were decoded"},
    };
    for (const auto& c : cases) expect(kvtest::run_tool(c.arguments), c.status, c.part, c.arguments);
    EXPECT_FALSE(contains(kvtest::run_tool("info " + kSample + " --page 4").out, " at ")) << "a location without --verbose";
    std::remove(out.c_str());
}

}  // namespace
