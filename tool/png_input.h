// Reading PNG files of every colour type and depth for the encode command.
#pragma once

#include "image_output.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvtool {

// Reads a PNG into a raster of one of two kinds: kPalette (one index byte
// per pixel, the PLTE entries and the tRNS alphas as stored) or kRgba
// (8 bits per channel; 16-bit samples are scaled, grey is widened, a tRNS
// colour becomes alpha 0). False (with *error) when the bytes are not a PNG
// that can be read or the image is larger than a GIF can hold. `name` says
// whose bytes they are in messages.
bool read_png(const uint8_t* data, size_t size, const std::string& name, PngRaster* raster, std::string* error);

}  // namespace kvtool
