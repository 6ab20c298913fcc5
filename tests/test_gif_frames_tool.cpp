// kvlzw frames as a user runs it: every frame to a directory with one line
// per frame, one frame by number or by time, and the usage errors.
#include "gif_frames_test_util.h"

#include <filesystem>

namespace {

const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

// A palette PNG's indices (8-bit palette PNGs hold one byte per pixel).
std::vector<uint8_t> png_indices(const std::string& path) {
    const kvtest::Png png = kvtest::read_png(path);
    return std::vector<uint8_t>(png.samples.begin(), png.samples.end());
}

std::vector<std::vector<uint8_t>> frames_of(const std::string& path) {
    return giftest::reference_frames(kvtest::read_file(path)).frames;
}

TEST(GifFramesTool, WritesEveryFrameWithItsDelay) {
    const std::string dir = kvtest::temp_path("frames");
    std::filesystem::remove_all(dir);
    const auto expected = frames_of(kSample);
    ASSERT_EQ(expected.size(), 3u);

    auto run = kvtest::run_tool("frames " + kSample + " -o " + dir + " --format bin");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(kvtest::contains(run.out, "frame 1: 1000 ms -> " + dir + "/frame-0001.bin")) << run.out;
    EXPECT_TRUE(kvtest::contains(run.out, "frame 2: 500 ms")) << run.out;
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(kvtest::read_file(dir + "/frame-000" + std::to_string(i + 1) + ".bin"), expected[i]) << i;

    // PNGs hold the same indices; the default delay option reaches the instance.
    run = kvtest::run_tool("frames " + kSample + " -o " + dir + " --default-delay 300 --min-delay 600");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(kvtest::contains(run.out, "frame 2: 300 ms")) << run.out;
    EXPECT_EQ(png_indices(dir + "/frame-0003.png"), expected[2]);

    // One frame, by number or by the time it shows.
    const std::string one = kvtest::temp_path("one.bin");
    run = kvtest::run_tool("frames " + kSample + " --frame 2 -o " + one);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(kvtest::read_file(one), expected[1]);
    run = kvtest::run_tool("frames " + kSample + " --at 1600 -o " + one);
    EXPECT_TRUE(kvtest::contains(run.out, "frame 3 (shown at 1600 ms)")) << run.out;
    EXPECT_EQ(kvtest::read_file(one), expected[2]);
    std::remove(one.c_str());
    std::filesystem::remove_all(dir);

    for (const std::string& bad : {"frames " + kSample, "frames " + kSample + " --frame 0 -o x.png",
                                   "frames " + kSample + " --frame 1 --at 5 -o x.png",
                                   "frames " + kSample + " --frame 1 -o x.gif", "frames " + kSample + " -o d --format gif"})
        EXPECT_EQ(kvtest::run_tool(bad).status, 2) << bad;
    EXPECT_EQ(kvtest::run_tool("frames " + kSample + " --frame 4 -o x.png").status, 1);
}

}  // namespace
