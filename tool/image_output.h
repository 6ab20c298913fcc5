// Writing decoded images: PNG through libpng, or the bare samples (.bin).
#pragma once

#include "kvhost/load_sink.h"

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvtool {

struct PngRaster {
    enum class Kind { kPalette, kGrey, kGreyAlpha, kRgb, kRgba };
    Kind kind = Kind::kGrey;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bit_depth = 8;  // 8, or 16 for the non-palette kinds
    // Rows back to back: one byte per sample, or for 16 bits one word per
    // sample in the host's byte order.
    std::vector<uint8_t> samples;
    std::vector<uint8_t> palette_rgb;  // 3 bytes per entry (palette kind)
    std::vector<uint8_t> palette_alpha;  // tRNS entries, may be shorter than the palette
};

enum class OutputKind { kPng, kBin, kUnknown };
// By the extension of the path: ".png" or ".bin".
OutputKind output_kind(const std::string& path);

// libpng handlers: an error keeps "PNG: " and libpng's message in the
// std::string given as the error pointer (if any) and jumps back;
// warnings are not shown.
void report_png_error(png_structp png, png_const_charp message);
void ignore_png_warning(png_structp png, png_const_charp message);

// Writes the raster as a PNG file, all or nothing; false (with *error) on failure.
bool write_png(const std::string& path, const PngRaster& raster, std::string* error);

// The raster of a loaded image: palette images become 8-bit palette PNGs
// (1-bit rows unpacked), other layouts keep their channels and depth.
// False (with *error) for a layout PNG cannot hold.
bool raster_from_image(const kvhost::LoadedImage& image, PngRaster* raster, std::string* error);

// The image's palette indices, one byte per pixel whatever the depth, rows
// top to bottom.
std::vector<uint8_t> palette_indices(const kvhost::LoadedImage& image);

}  // namespace kvtool
