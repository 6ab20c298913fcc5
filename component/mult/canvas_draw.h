// Drawing a decoded frame onto the canvas, and filling a canvas rectangle.
#pragma once

#include "kvlzw/abi.h"
#include "mult/mult_instance.h"

#include <cstdint>

namespace kv {

// Left and top inclusive, right and bottom exclusive.
struct CanvasRect {
    int64_t left = 0, top = 0, right = 0, bottom = 0;
};

struct Dimensions {
    int64_t width = 0, height = 0;
};

// The image's width and height; throws when the host cannot tell them.
Dimensions image_dimensions(HostImage* image);

// Fills the part of the rectangle that lies inside the image with the index.
void canvas_fill(HostImage* image, CanvasRect rect, uint8_t index);

// Draws the frame with its top left corner at (left, top), clipped to the
// canvas; with transparency, pixels equal to the transparent index leave the
// canvas as it was. The scratch buffer grows as needed and is kept.
void canvas_draw(HostImage* canvas, HostImage* frame, uint64_t left, uint64_t top, bool transparency,
                 uint8_t transparent_index, HeapBuffer& scratch);

}  // namespace kv
