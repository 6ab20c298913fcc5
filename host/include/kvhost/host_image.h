// Host images (HostImage): indexed pixel images that the iKV_ image and
// raster services work on, that a load can decode into (through the stream
// descriptor's image destination), and that multi-page sources compose.
#pragma once

#include "kvhost/memory.h"
#include "kvlzw/abi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct HostImage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;            // 1 to 8 bits per pixel
    std::vector<uint8_t> palette;  // always 256 entries of 4 bytes (blue, green, red, 0)
    std::vector<uint8_t> pixels;   // one byte per pixel, rows top to bottom, each holding depth bits
    // Its bytes, counted against the memory budget of the thread that made it
    // (a huge canvas is refused before it is allocated).
    kvhost::memory::Reservation budget;

    uint8_t* row(uint32_t y) { return pixels.data() + static_cast<size_t>(y) * width; }
    const uint8_t* row(uint32_t y) const { return pixels.data() + static_cast<size_t>(y) * width; }
};

namespace kvhost::images {

inline constexpr size_t kPaletteBytes = 1024;

// A new image registered with the host (null, with an error record, when it
// is too large or memory runs out). Pixels and palette start at 0.
HostImage* create(uint64_t width, uint64_t height, uint32_t depth);
// Whether the handle is an image the host created and has not deleted.
bool is_live(const HostImage* image);
// Images created and not yet deleted, in this process.
size_t live_count();
// Pixel and palette bytes of those images.
uint64_t live_bytes();
// Largest pixel area (width x height) an image may have; 1 << 30 by default.
void set_pixel_limit(uint64_t pixels);
uint64_t pixel_limit();

}  // namespace kvhost::images
