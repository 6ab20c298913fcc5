// Animated GIF frames for applications, through the multi-page source the
// component registered: the page count, the total duration, each frame
// composed on the logical screen (disposal and transparency applied), its
// delay, the frame shown at a time, and the two delay properties.
//
// Frames come two ways. frame() and frame_image() give the component's
// indexed canvas, which keeps the first frame's palette. rgba_frame() gives
// the frame as browsers show it: true colour, each frame drawn through its
// own colour table, transparent where no frame has drawn or a disposal has
// cleared (the rules are in the README's "Animated GIF frames").
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

// One frame as a viewer shows it.
struct RgbaFrame {
    uint32_t width = 0, height = 0;   // the logical screen
    const uint8_t* pixels = nullptr;  // R, G, B, A per pixel, rows top to bottom
    uint64_t delay = 0;               // 100-nanosecond units, converted as frame_delay converts it
};

class RgbaComposer;

class Animation {
public:
    // Probes the source and describes its first page; null when that fails
    // (the outcome says why). The component's instance is made at the first
    // call that needs it (any but rgba_frame), whose outcome then carries
    // the instance's own failures.
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
    // Frame i (from 0) in true colour. The pixels are the animation's and
    // stay valid until its next rgba_frame call or its end. A later frame
    // goes on from the one shown, an earlier one is composed from the first.
    // The canvas (and room for the copy disposal 3 keeps) counts against
    // this thread's memory budget while the animation lives.
    Answer<RgbaFrame> rgba_frame(uint64_t index);
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

    // The logical screen, as the first page's description gave it.
    uint32_t screen_width() const { return screen_width_; }
    uint32_t screen_height() const { return screen_height_; }

    // Runs one operation on the instance at the boundary: the thrown status
    // becomes the outcome.
    Outcome call(const std::function<void(CKVMultInstance&)>& operation);
    HostStream* stream() const { return stream_.get(); }

private:
    Animation() = default;
    template <typename T>
    Answer<T> ask(const std::function<T(CKVMultInstance&)>& operation);

    uint64_t converted_delay(uint32_t hundredths) const;

    gif::Source gif_source_;
    std::unique_ptr<RgbaComposer> rgba_;
    uint32_t screen_width_ = 0, screen_height_ = 0;
    // What the true-colour frames need without the instance: the page
    // count, and the delay properties as last set.
    uint32_t page_count_ = 0;
    bool page_count_known_ = false;
    uint64_t min_delay_ms_ = 10, default_delay_ms_ = 100;
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
