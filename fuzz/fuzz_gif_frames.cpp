// Animated GIF frames on arbitrary bytes: open an instance through the
// frames API, compose the frames in order, ask for the duration and the
// frames shown at a few times, then destroy it. Nothing may crash, throw
// past the API, read out of bounds, or leave memory or host images behind.
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"
#include "support.h"

#include <cstdint>

namespace {

// Screens the fuzzer can describe in a few bytes must not cost gigabytes,
// and every frame may copy the canvas: both are kept small here.
constexpr uint64_t kPixelLimit = uint64_t{1} << 18;
constexpr uint64_t kFramesComposed = 32;

void compose(kvhost::gif_frames::Animation& animation) {
    const auto count = animation.page_count();
    for (uint64_t i = 0; i < count.value && i < kFramesComposed; ++i) {
        if (!animation.frame_image(i).ok()) break;
        animation.frame_delay(i);
    }
    animation.total_duration_ms();
    for (uint64_t t : {uint64_t{0}, uint64_t{100}, uint64_t{5000}}) animation.frame_at_time(t);
    // An earlier frame after the walks: a rebuild from the first.
    if (count.value > 1) animation.frame_image(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    kvhost::images::set_pixel_limit(kPixelLimit);
    const kvfuzz::Held before = kvfuzz::held_now();
    {
        kvhost::gif_frames::Outcome outcome;
        auto animation = kvhost::gif_frames::Animation::open(kvhost::gif::Source::memory(data, size), &outcome);
        if (animation != nullptr) compose(*animation);
    }
    kvfuzz::expect_clean(before);
    return 0;
}
