// kvlzw frames as a user runs it: every frame to a directory with one line
// per frame, one frame by number or by time, true colour or indexed, and
// the usage errors (the limits: ToolLimits in test_tool.cpp).
#include "gif_frames_test_util.h"

#include <algorithm>
#include <filesystem>

namespace {

const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

std::vector<uint8_t> png_samples(const std::string& path, int* color_type) {
    const kvtest::Png png = kvtest::read_png(path);
    *color_type = png.color_type;
    return std::vector<uint8_t>(png.samples.begin(), png.samples.end());
}

// Every way of asking, true colour by default and --indexed, against the
// references composed from giflib's images.
TEST(GifFramesTool, WritesEveryFrameWithItsDelay) {
    const std::string dir = kvtest::temp_path("frames");
    const std::string one = kvtest::temp_path("one.bin");
    const auto bytes = kvtest::read_file(kSample);
    const auto indexed = giftest::reference_frames(bytes).frames;
    const auto rgba = giftest::reference_rgba(bytes).frames;
    ASSERT_EQ(indexed.size(), 3u);
    ASSERT_EQ(rgba.size(), 3u);

    struct Case {
        std::string options;
        const std::vector<std::vector<uint8_t>>& expected;
        int color_type;  // -1: .bin files
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"-o " + dir + " --format bin", rgba, -1,
         {"frame 1: 1000 ms -> " + dir + "/frame-0001.bin", "frame 2: 500 ms", "frame 3: 1000 ms"}},
        {"-o " + dir, rgba, 6, {"frame 3: 1000 ms -> " + dir + "/frame-0003.png"}},
        {"-o " + dir + " --indexed --format bin", indexed, -1, {"frame 2: 500 ms"}},
        {"-o " + dir + " --indexed --default-delay 300 --min-delay 600", indexed, 3, {"frame 2: 300 ms"}},
        {"--default-delay 300 --min-delay 600 -o " + dir, rgba, 6, {"frame 2: 300 ms"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::filesystem::remove_all(dir);
        kvtest::expect_run("frames " + kSample + " " + c.options, 0, c.lines);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const std::string name = dir + "/frame-000" + std::to_string(i + 1) + (c.color_type < 0 ? ".bin" : ".png");
            int color_type = -1;
            EXPECT_EQ(c.color_type < 0 ? kvtest::read_file(name) : png_samples(name, &color_type), c.expected[i]) << i;
            EXPECT_EQ(color_type, c.color_type);
        }
    }

    // One frame, by number or by the time it shows.
    for (const auto& [options, frame, line] :
         std::vector<std::tuple<std::string, size_t, std::string>>{{"--frame 2", 1, "frame 2: 500 ms"},
                                                                   {"--at 1600", 2, "frame 3 (shown at 1600 ms)"}}) {
        for (const bool as_indexed : {false, true}) {
            const auto run = kvtest::run_tool("frames " + kSample + " " + options + (as_indexed ? " --indexed" : "") +
                                              " -o " + one);
            EXPECT_TRUE(kvtest::contains(run.out, line)) << run.out;
            EXPECT_EQ(kvtest::read_file(one), (as_indexed ? indexed : rgba)[frame]) << options;
        }
    }
    std::remove(one.c_str());

    // A directory used before keeps only this run's frames (and other files).
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* stale : {"frame-0004.png", "frame-0005.png", "frame-0002.bin", "notes.txt"})
        kvtest::write_file(dir + "/" + stale, {1});
    ASSERT_EQ(kvtest::run_tool("frames " + kSample + " -o " + dir).status, 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"frame-0001.png", "frame-0002.png", "frame-0003.png", "notes.txt"}));
    std::filesystem::remove_all(dir);

    for (const std::string& bad : {"frames " + kSample, "frames " + kSample + " --frame 0 -o x.png",
                                   "frames " + kSample + " --frame 1 --at 5 -o x.png",
                                   "frames " + kSample + " --frame 1 -o x.gif", "frames " + kSample + " -o d --format gif"})
        EXPECT_EQ(kvtest::run_tool(bad).status, 2) << bad;
    EXPECT_EQ(kvtest::run_tool("frames " + kSample + " --frame 4 -o x.png").status, 1);
}

}  // namespace
