// Composed frames against an independent composition from giflib's decoded
// images: every animated GIF of the shared corpus and generated animations
// (disposals 0 to 3, transparency, offsets, clipping, local tables,
// interlace), and the frames a browser made that the corpus ships.
#include "gif_frames_test_util.h"

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

    // "" when every frame, indexed and true-colour, equals its reference,
    // else what differs; *frames counts the true-colour frames compared.
    std::string compare(const std::vector<uint8_t>& bytes, const giftest::ReferenceFrames& reference,
                        size_t* frames = nullptr) {
        const auto rgba = giftest::reference_rgba(bytes);
        if (!rgba.ok) return "giflib composes no true-colour frames";
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
            // The canvas shows every pixel through the first frame's table
            // (its transparent entry aside, which the reader may recolour).
            for (const uint8_t index : canvas.value.pixels) {
                if (index == reference.first_transparent || size_t{index} * 3 >= reference.first_table.size()) continue;
                if (giftest::rgb(canvas.value.palette, index) !=
                    std::vector<uint8_t>(reference.first_table.begin() + index * 3,
                                         reference.first_table.begin() + index * 3 + 3))
                    return "colour of index " + std::to_string(index) + " in frame " + std::to_string(i);
            }
        }
        // True colour, in an order that makes both a continued and a rebuilt pass.
        std::vector<size_t> order(rgba.frames.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        if (order.size() > 2) order.push_back(1);
        for (size_t i : order) {
            auto frame = a->rgba_frame(i);
            if (!frame.ok()) return "RGBA frame " + std::to_string(i) + ": " + kvhost::describe(frame.errors.at(0));
            if (frame.value.width != rgba.width || frame.value.height != rgba.height)
                return "RGBA geometry of frame " + std::to_string(i);
            if (frame.value.delay != a->frame_delay(i).value) return "RGBA delay of frame " + std::to_string(i);
            const std::string differs = giftest::rgba_difference(frame.value.pixels, rgba, i);
            if (!differs.empty()) return "RGBA " + differs;
        }
        if (frames != nullptr) *frames += rgba.frames.size();
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
    KVTEST_NEEDS_CORPUS();
    int compared = 0;
    size_t frames = 0;
    for (const std::string& name : kvtest::corpus_files(".gif")) {
        const auto bytes = kvtest::read_file(kvtest::corpus_path(name));
        const auto reference = giftest::reference_frames(bytes);
        if (!reference.ok || reference.frames.size() < 2) continue;
        ++compared;
        EXPECT_EQ(compare(bytes, reference, &frames), "") << name;
    }
    EXPECT_GE(compared, 20);
    RecordProperty("files", compared);
    RecordProperty("rgba_frames", static_cast<int>(frames));
}

// Frames each drawn through its own table over a transparent screen, with
// disposals 2 and 3: the true-colour frames equal the shipped ones pixel for
// pixel (any colour under alpha 0 counting as the same clear pixel).
TEST_F(GifFramesCrossCheck, TrueColourFramesEqualTheShippedBrowserFrames) {
    for (const std::string animation : {"animated_transparent_frame_restorebackground_loop",
                                        "animated_transparent_frame_restoreprev_loop"}) {
        const std::string gif = kvtest::corpus_path("gif/peterdn/" + animation + ".gif");
        if (!std::filesystem::exists(gif)) GTEST_SKIP() << "no corpus";
        kvhost::gif_frames::Outcome outcome;
        auto a = Animation::open(kvhost::gif::Source::file(gif), &outcome);
        ASSERT_NE(a, nullptr) << animation;
        ASSERT_EQ(a->page_count().value, 4u);
        for (uint64_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(animation + " frame " + std::to_string(i));
            uint32_t w = 0, h = 0;
            auto want = kvtest::read_rgba_png(
                kvtest::corpus_path("gif/peterdn/frames/" + animation + "-" + std::to_string(i) + ".png"), &w, &h);
            const auto frame = a->rgba_frame(i);
            ASSERT_TRUE(frame.ok());
            ASSERT_EQ(w, frame.value.width);
            ASSERT_EQ(h, frame.value.height);
            std::vector<uint8_t> got(frame.value.pixels, frame.value.pixels + want.size());
            for (std::vector<uint8_t>* pixels : {&want, &got})
                for (size_t p = 3; p < pixels->size(); p += 4)
                    if ((*pixels)[p] == 0) std::fill_n(pixels->begin() + (p - 3), 3, 0);
            EXPECT_EQ(got, want);
        }
    }
}

}  // namespace
