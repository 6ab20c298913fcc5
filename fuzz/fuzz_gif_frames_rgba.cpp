// True-colour animated GIF frames on arbitrary bytes: open an animation,
// compose its frames in order, then the first again (a new pass) and the
// last (going on). The first and last byte of every row handed out are
// read. Nothing may crash, throw
// past the API, read out of bounds, or leave memory, budget or host images
// behind.
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"
#include "support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Screens the fuzzer can describe in a few bytes must not cost gigabytes,
// nor every execution megabytes of canvas.
constexpr uint64_t kPixelLimit = uint64_t{1} << 16;
constexpr uint64_t kFramesComposed = 32;

uint32_t g_sink = 0;

void look_at(kvhost::gif_frames::Animation& animation, uint64_t i) {
    const auto frame = animation.rgba_frame(i);
    if (!frame.ok()) return;
    const uint64_t row = uint64_t{frame.value.width} * 4;
    if (frame.value.width != animation.screen_width() || frame.value.height != animation.screen_height()) {
        std::fprintf(stderr, "fuzz: a frame that is not the screen\n");
        std::abort();
    }
    for (uint64_t y = 0; row != 0 && y < frame.value.height; ++y)
        g_sink += frame.value.pixels[y * row] + frame.value.pixels[y * row + row - 1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    kvhost::images::set_pixel_limit(kPixelLimit);
    const kvfuzz::Held before = kvfuzz::held_now();
    {
        kvhost::gif_frames::Outcome outcome;
        auto animation = kvhost::gif_frames::Animation::open(kvhost::gif::Source::memory(data, size), &outcome);
        if (animation != nullptr) {
            const uint64_t count = animation->page_count().value;
            const uint64_t last = count < kFramesComposed ? count : kFramesComposed;
            for (uint64_t i = 0; i < last; ++i) look_at(*animation, i);
            if (last > 1) {
                look_at(*animation, 0);
                look_at(*animation, last - 1);
            }
        }
    }
    kvfuzz::expect_clean(before);
    return 0;
}
