// Animated GIF frames for applications, through the multi-page source the
// component registered: the page count, the total duration, each frame
// composed on the logical screen (disposal and transparency applied), its
// delay, the frame shown at a time, and the two delay properties.
//
// The composed canvas is an indexed image whose palette is that of the
// frame last drawn: where a file's frames carry their own colour tables and
// leave parts of the screen uncovered, those earlier pixels show through
// the current palette.
//
// Every call clears this thread's error records first and hands back the
// ones it made; no exception of the component gets past this interface.
#pragma once

#include "kvhost/errors.h"
#include "kvhost/gif.h"
#include "kvhost/host_image.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kvhost::gif_frames {

struct Outcome {
    HostStatus status = 0;
    std::vector<ErrorRecord> errors;
    bool ok() const { return status == 0; }
};

template <typename T>
struct Answer : Outcome {
    T value{};
};

// One composed frame, copied out of the instance's canvas.
struct Canvas {
    uint32_t width = 0, height = 0, depth = 0;
    std::vector<uint8_t> palette;  // 2^depth entries of 4 bytes: blue, green, red, 0
    std::vector<uint8_t> pixels;   // one index per pixel, rows top to bottom
};

class Animation {
public:
    // Probes the source and opens an instance on it; null when that fails
    // (the outcome says why).
    static std::unique_ptr<Animation> open(const gif::Source& source, Outcome* outcome);
    ~Animation();
    Animation(const Animation&) = delete;
    Animation& operator=(const Animation&) = delete;

    Answer<uint64_t> page_count();
    Answer<uint64_t> total_duration_ms();
    // Frame i (from 0), composed. The image stays valid until the next
    // frame or delay call, or the animation's end.
    Answer<const HostImage*> frame_image(uint64_t index);
    Answer<Canvas> frame(uint64_t index);
    // Its display time, in 100-nanosecond units.
    Answer<uint64_t> frame_delay(uint64_t index);
    Answer<uint64_t> frame_at_time(uint64_t milliseconds);
    Answer<uint64_t> default_delay_ms();
    Answer<uint64_t> min_delay_ms();
    Outcome set_default_delay_ms(uint64_t milliseconds);
    Outcome set_min_delay_ms(uint64_t milliseconds);

    // The first frame's transparent index (where the canvas starts out
    // transparent), when it has one.
    bool has_transparent_index() const { return has_transparent_index_; }
    uint8_t transparent_index() const { return transparent_index_; }

    // Runs one operation on the instance at the boundary: the thrown status
    // becomes the outcome.
    Outcome call(const std::function<void(CKVMultInstance&)>& operation);
    HostStream* stream() const { return stream_.get(); }

private:
    Animation() = default;
    template <typename T>
    Answer<T> ask(const std::function<T(CKVMultInstance&)>& operation);

    CKVMultSource* source_ = nullptr;
    CKVMultInstance* instance_ = nullptr;
    std::unique_ptr<HostStream> stream_;
    bool has_transparent_index_ = false;
    uint8_t transparent_index_ = 0;
};

// The registered GIF multi-page source, or null.
CKVMultSource* gif_source();

// Runs f, turning an exception of the component into an error record; the
// current status afterwards.
HostStatus guarded(const std::function<void()>& f);

}  // namespace kvhost::gif_frames
