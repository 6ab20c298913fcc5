// True-colour frames of an animated GIF, composed as browsers show them:
// an RGBA canvas of the logical screen, transparent when a pass starts; each
// frame drawn at its position, clipped to the screen, through its own colour
// table as the file gives it, its transparent pixels leaving the canvas as
// it was; before the next frame, disposal 2 clears the frame's rectangle to
// transparent and disposal 3 (and 4, which some encoders write for it)
// puts back what the rectangle held before the frame; 0, 1 and 5 to 7 keep
// the frame. Indices past the frame's table are drawn opaque black.
//
// Frames are read by the GIF filter's page load, one page at a time, its
// rows drawn as they arrive. What the composer holds is the canvas, the
// saved rectangle for disposal 3 and a constant, whatever the frame count.
#pragma once

#include "kvhost/gif.h"
#include "kvhost/mapped_file.h"
#include "kvhost/memory.h"
#include "gif_page_index.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kvhost::gif_frames {

class RgbaComposer {
public:
    // The screen's size comes from the caller, which has read the header.
    RgbaComposer(const gif::Source& source, uint32_t width, uint32_t height);
    ~RgbaComposer();
    RgbaComposer(const RgbaComposer&) = delete;
    RgbaComposer& operator=(const RgbaComposer&) = delete;

    // Composes frame `index` (from 0): a later frame than the one shown goes
    // on from it, an earlier one (or any after a failure) starts a new pass.
    // Non-zero after recording why.
    HostStatus compose(uint64_t index);

    // R, G, B, A per pixel, rows top to bottom.
    const uint8_t* pixels() const { return reinterpret_cast<const uint8_t*>(canvas_.data()); }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // The shown frame's delay in hundredths of a second, 0 without a graphic control.
    uint32_t delay_hundredths() const { return frame_.delay; }

private:
    struct Rect {
        uint32_t left = 0, top = 0, right = 0, bottom = 0;  // clipped to the screen, right and bottom exclusive
        bool empty() const { return right <= left || bottom <= top; }
    };
    struct Frame {
        Rect rect;
        uint32_t left = 0, top = 0, width = 0, depth = 0;
        uint32_t disposal = 0;
        uint32_t delay = 0;
        bool transparent = false;
        uint8_t transparent_index = 0;
        bool begun = false;
    };

    HostStatus start_pass();
    HostStatus draw_next();
    void dispose_previous();
    void begin_frame(const LoadSink& sink);
    HostStatus draw_row(const LoadSink& sink, int64_t y, const uint8_t* bytes, uint64_t count);
    HostStatus reserve(uint64_t bytes, const char* what);

    gif::Source source_;
    std::unique_ptr<MappedFile> file_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::unique_ptr<gif::PageIndex> index_;
    uint32_t width_ = 0, height_ = 0;

    std::vector<uint32_t> canvas_;  // one pixel a word: R, G, B, A in memory order
    std::vector<uint32_t> saved_;   // the rectangle a disposal-3 frame covers, as before it
    memory::Reservation budget_;
    uint64_t reserved_ = 0;

    bool composing_ = false;
    uint64_t drawn_ = 0;       // frames drawn in this pass: the canvas shows frame drawn_ - 1
    int64_t next_start_ = -1;  // where the next frame's blocks begin; -1: read it from the header on
    Frame frame_;              // the frame drawn last
    uint32_t colours_[256] = {};
    std::vector<uint8_t> unpacked_;  // a row of 1-bit indices, one a byte
};

}  // namespace kvhost::gif_frames
