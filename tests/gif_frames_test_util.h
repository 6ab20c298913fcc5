// Animated GIFs built frame by frame, and the fixture of the frames tests:
// every image, heap block and memory block a test makes is gone at its end.
#pragma once

#include "gif_frames_reference.h"
#include "gif_test_files.h"
#include "heap_faults.h"
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"
#include "kvhost/services.h"

#include <deque>
#include <memory>
#include <vector>

namespace giftest {

struct FrameSpec {
    uint16_t left = 0, top = 0, width = 0, height = 0;
    int disposal = -1;     // -1: no graphic control extension
    int transparent = -1;  // the transparent index, or -1
    uint16_t delay = 0;
    std::vector<uint8_t> indices;  // width * height
    size_t local_entries = 0;      // a local ramp table of this many entries
    bool interlaced = false;
    std::vector<uint8_t> local_rgb;  // else a local table of these colours (R, G, B), when given
};

// Rows of an interlaced image in the order they are stored.
inline std::vector<uint8_t> interlace_rows(const std::vector<uint8_t>& pixels, uint16_t width, uint16_t height) {
    std::vector<uint8_t> out;
    for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
        for (int y = start; y < height; y += step)
            out.insert(out.end(), pixels.begin() + y * width, pixels.begin() + (y + 1) * width);
    return out;
}

// An animation whose global table holds these colours (R, G, B; none when
// empty), padded to a power of two.
inline GifFile animation_rgb(uint16_t width, uint16_t height, const std::vector<uint8_t>& global_rgb,
                             const std::vector<FrameSpec>& frames, uint8_t background = 0) {
    const auto padded = [](std::vector<uint8_t> rgb) {
        rgb.resize(3 * (size_t{2} << table_size_field(rgb.size() / 3)));
        return rgb;
    };
    GifFile file;
    const size_t global_entries = global_rgb.size() / 3;
    file.header("89a", width, height, global_entries != 0 ? 0x80 | table_size_field(global_entries) : 0,
                global_entries != 0 ? padded(global_rgb) : std::vector<uint8_t>{}, background);
    for (const FrameSpec& f : frames) {
        if (f.disposal >= 0) {
            const uint8_t fields = static_cast<uint8_t>((f.disposal << 2) | (f.transparent >= 0 ? 1 : 0));
            file.control(fields, f.delay, static_cast<uint8_t>(f.transparent >= 0 ? f.transparent : 0));
        }
        const size_t entries = std::max<size_t>(f.local_rgb.empty() ? global_entries : f.local_rgb.size() / 3, 2);
        uint8_t fields = f.interlaced ? 0x40 : 0;
        if (!f.local_rgb.empty()) fields |= 0x80 | table_size_field(entries);
        const int code_size = std::max<int>(2, table_size_field(entries) + 1);
        const auto stored = f.interlaced ? interlace_rows(f.indices, f.width, f.height) : f.indices;
        file.image(f.left, f.top, f.width, f.height, fields,
                   f.local_rgb.empty() ? std::vector<uint8_t>{} : padded(f.local_rgb), code_size,
                   encode_literals(stored, code_size));
    }
    return file.trailer(), file;
}

// Global and local tables (`local_entries`) are ramps.
inline GifFile animation(uint16_t width, uint16_t height, size_t global_entries, std::vector<FrameSpec> frames,
                         uint8_t background = 0) {
    for (FrameSpec& f : frames) {
        if (f.local_entries != 0) f.local_rgb = ramp_table(size_t{2} << table_size_field(f.local_entries));
    }
    const std::vector<uint8_t> global =
        global_entries != 0 ? ramp_table(size_t{2} << table_size_field(global_entries)) : std::vector<uint8_t>{};
    return animation_rgb(width, height, global, frames, background);
}

inline FrameSpec frame(uint16_t left, uint16_t top, uint16_t width, uint16_t height, int disposal, int transparent,
                       std::vector<uint8_t> indices, uint16_t delay = 0) {
    if (indices.empty()) indices.assign(size_t{width} * height, 1);
    return {left, top, width, height, disposal, transparent, delay, std::move(indices)};
}

class GifFramesTest : public kvtest::CleanTest {
protected:
    void SetUp() override {
        CleanTest::SetUp();
        images_before_ = kvhost::images::live_count();
        kvtest::heap::count_module_of(reinterpret_cast<const void*>(kvtest::component().init));
        heap_before_ = kvtest::heap::nothrow_blocks_outstanding();
    }
    void TearDown() override {
        kvtest::heap::clear_faults();
        kvhost::clear_call_faults();
        EXPECT_EQ(kvhost::images::live_count(), images_before_) << "host images left behind";
        EXPECT_EQ(kvtest::heap::nothrow_blocks_outstanding(), heap_before_) << "heap blocks left behind";
        CleanTest::TearDown();
    }

    // Opens a copy of the file that the fixture keeps for the animation's life.
    std::unique_ptr<kvhost::gif_frames::Animation> open(const GifFile& file,
                                                        kvhost::gif_frames::Outcome* outcome = nullptr) {
        kvhost::gif_frames::Outcome local;
        const GifFile& kept = kept_.emplace_back(file);
        return kvhost::gif_frames::Animation::open(kvhost::gif::Source::memory(kept.bytes.data(), kept.bytes.size()),
                                                   outcome ? outcome : &local);
    }

public:
    // Every composed frame's indices, or stops at the first failure.
    static std::vector<std::vector<uint8_t>> all_frames_of(kvhost::gif_frames::Animation& animation,
                                                           std::vector<int32_t>* failure = nullptr) {
        std::vector<std::vector<uint8_t>> frames;
        const uint64_t count = animation.page_count().value;
        for (uint64_t i = 0; i < count; ++i) {
            auto canvas = animation.frame(i);
            if (!canvas.ok()) {
                if (failure != nullptr) *failure = kvtest::codes(canvas.errors);
                break;
            }
            frames.push_back(std::move(canvas.value.pixels));
        }
        return frames;
    }

protected:
    std::deque<GifFile> kept_;
    size_t images_before_ = 0;
    int64_t heap_before_ = 0;
};

}  // namespace giftest
