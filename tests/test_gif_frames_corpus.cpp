// Composed frames against an independent composition from giflib's decoded
// images: every animated GIF of the shared corpus and generated animations
// (disposals 0 to 3, transparency, offsets, clipping, local tables,
// interlace); and the expected frames the corpus ships.
#include "gif_frames_test_util.h"

#include <png.h>

#include <filesystem>

namespace {

using giftest::FrameSpec;
using giftest::GifFile;
using kvhost::gif_frames::Animation;

class GifFramesCrossCheck : public giftest::GifFramesTest {
protected:
    void SetUp() override {
        GifFramesTest::SetUp();
        // Corpus files with huge screens are refused instead of taking a gigabyte.
        kvhost::images::set_pixel_limit(uint64_t{1} << 26);
    }
    void TearDown() override {
        kvhost::images::set_pixel_limit(uint64_t{1} << 30);
        GifFramesTest::TearDown();
    }

    // "" when every frame equals the reference, else what differs.
    std::string compare(const std::vector<uint8_t>& bytes, const giftest::ReferenceFrames& reference) {
        kvhost::gif_frames::Outcome outcome;
        auto a = Animation::open(kvhost::gif::Source::memory(bytes.data(), bytes.size()), &outcome);
        if (a == nullptr) return "does not open: " + kvhost::describe(outcome.errors.at(0));
        if (a->page_count().value != reference.frames.size())
            return "page count " + std::to_string(a->page_count().value);
        for (size_t i = 0; i < reference.frames.size(); ++i) {
            auto canvas = a->frame(i);
            if (!canvas.ok()) return "frame " + std::to_string(i) + ": " + kvhost::describe(canvas.errors.at(0));
            if (canvas.value.width != reference.width || canvas.value.height != reference.height ||
                canvas.value.depth != reference.depth)
                return "canvas geometry of frame " + std::to_string(i);
            if (canvas.value.pixels != reference.frames[i]) return "pixels of frame " + std::to_string(i);
        }
        uint64_t total = 0;
        for (uint32_t d : reference.delays) total += (d > 1 ? d : 10) * 10;
        if (a->total_duration_ms().value != total) return "duration " + std::to_string(a->total_duration_ms().value);
        return "";
    }
};

uint32_t next(uint32_t& seed, uint32_t modulo) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % modulo;
}

// An animation of 2 to 7 frames mixing every feature the composition has,
// on a canvas up to `widest` pixels wide.
GifFile random_animation(uint32_t seed, uint32_t widest = 13) {
    const uint16_t width = static_cast<uint16_t>(1 + next(seed, widest));
    const uint16_t height = static_cast<uint16_t>(1 + next(seed, 11));
    const size_t global = size_t{2} << next(seed, 8);
    std::vector<FrameSpec> frames;
    const uint32_t count = 2 + next(seed, 6);
    for (uint32_t i = 0; i < count; ++i) {
        FrameSpec f;
        // Mostly inside, sometimes reaching past the right or bottom edge.
        f.left = static_cast<uint16_t>(next(seed, width + 2));
        f.top = static_cast<uint16_t>(next(seed, height + 2));
        f.width = static_cast<uint16_t>(1 + next(seed, width + 3));
        f.height = static_cast<uint16_t>(1 + next(seed, height + 3));
        f.disposal = static_cast<int>(next(seed, 5)) - 1;  // -1: no graphic control
        f.local_entries = next(seed, 3) == 0 ? size_t{2} << next(seed, 8) : 0;
        const uint32_t entries = static_cast<uint32_t>(f.local_entries != 0 ? f.local_entries : global);
        f.transparent = f.disposal >= 0 && next(seed, 2) == 0 ? static_cast<int>(next(seed, entries)) : -1;
        f.delay = static_cast<uint16_t>(next(seed, 8));
        f.interlaced = next(seed, 4) == 0;
        f.indices = giftest::pattern(size_t{f.width} * f.height, entries, next(seed, 1u << 16));
        frames.push_back(std::move(f));
    }
    return giftest::animation(width, height, global, frames, static_cast<uint8_t>(next(seed, global)));
}

TEST_F(GifFramesCrossCheck, GeneratedAnimationsEqualTheReference) {
    // Seeds past 300: rows long enough for the transparent merge's wide steps and their tails.
    for (uint32_t seed = 1; seed <= 360; ++seed) {
        const GifFile file = seed <= 300 ? random_animation(seed) : random_animation(seed - 300, 80);
        const auto reference = giftest::reference_frames(file.bytes);
        ASSERT_TRUE(reference.ok) << "seed " << seed;
        EXPECT_EQ(compare(file.bytes, reference), "") << "seed " << seed;
    }
}

TEST_F(GifFramesCrossCheck, EveryAnimatedCorpusGifEqualsTheReference) {
    int compared = 0;
    for (const std::string& name : kvtest::corpus_files(".gif")) {
        const auto bytes = kvtest::read_file(kvtest::corpus_path(name));
        const auto reference = giftest::reference_frames(bytes);
        if (!reference.ok || reference.frames.size() < 2) continue;
        ++compared;
        EXPECT_EQ(compare(bytes, reference), "") << name;
    }
    EXPECT_GE(compared, 20);
}

// An RGBA PNG's pixels, or empty.
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

// The shipped frames are true-colour: each pixel keeps the colour of the
// frame that drew it. Here the canvas takes the palette of the frame drawn
// last, so where these files' frames (each with its own colour table) leave
// earlier pixels showing, those show through the current palette. Every
// pixel the current frame drew must match, and differences are allowed
// only where earlier frames show.
TEST_F(GifFramesCrossCheck, ShippedExpectedFramesMatchWhereTheFrameDrew) {
    for (const std::string animation : {"animated_transparent_frame_restorebackground_loop",
                                        "animated_transparent_frame_restoreprev_loop"}) {
        const std::string gif = kvtest::corpus_path("gif/peterdn/" + animation + ".gif");
        if (!std::filesystem::exists(gif)) GTEST_SKIP() << "no corpus";
        const auto reference = giftest::reference_frames(kvtest::read_file(gif));
        kvhost::gif_frames::Outcome outcome;
        auto a = Animation::open(kvhost::gif::Source::file(gif), &outcome);
        ASSERT_NE(a, nullptr) << animation;
        ASSERT_EQ(a->page_count().value, reference.drawn.size());
        for (uint64_t i = 0; i < reference.drawn.size(); ++i) {
            SCOPED_TRACE(animation + " frame " + std::to_string(i));
            uint32_t w = 0, h = 0;
            const auto expected =
                read_rgba_png(kvtest::corpus_path("gif/peterdn/frames/" + animation + "-" + std::to_string(i) + ".png"),
                              &w, &h);
            auto canvas = a->frame(i);
            ASSERT_TRUE(canvas.ok());
            ASSERT_EQ(w, canvas.value.width);
            ASSERT_EQ(h, canvas.value.height);
            size_t drawn_differing = 0, showing_through = 0;
            for (size_t p = 0; p < size_t{w} * h; ++p) {
                const uint8_t index = canvas.value.pixels[p];
                const bool clear = a->has_transparent_index() && index == a->transparent_index();
                const uint8_t* want = &expected[p * 4];
                const bool same = want[3] == 0 ? clear
                                               : !clear && giftest::rgb(canvas.value.palette, index) ==
                                                               std::vector<uint8_t>{want[0], want[1], want[2]};
                if (!same) ++(reference.drawn[i][p] != 0 ? drawn_differing : showing_through);
            }
            EXPECT_EQ(drawn_differing, 0u);
            if (i == 0) {
                EXPECT_EQ(showing_through, 0u);
            }
            RecordProperty(animation + "-" + std::to_string(i), std::to_string(showing_through));
        }
    }
}

}  // namespace
