// Turning a PNG raster into palette indices a GIF can hold: at most 256
// colours, one of them possibly the transparent index.
#pragma once

#include "image_output.h"
#include "kvhost/gif_save.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvtool {

struct IndexedImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> indices;      // one byte per pixel, rows top to bottom
    std::vector<uint8_t> palette_rgb;  // 3 bytes per entry, at most 256 entries
    std::optional<uint8_t> transparent;
};

// Palette rasters keep their indices (every fully transparent entry becomes
// the first of them). RGBA rasters of 256 colours or fewer, counting
// transparency as one, keep their exact colours in order of first
// appearance; larger ones are quantized, dithered unless told otherwise.
// Pixels of alpha 0 always become the transparent index; other alphas are
// dropped, as GIF has no partial transparency. The raster's samples may be
// taken over.
bool index_colours(PngRaster&& raster, bool dither, IndexedImage* out, std::string* error);

// The indexed image as a palette image to save (its indices taken over).
kvhost::gif::SaveImage save_image_of(IndexedImage&& indexed);

}  // namespace kvtool
