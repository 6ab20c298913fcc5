// Writing decoded images: PNG (png_output.cpp), or the bare samples (.bin).
#pragma once

#include "kvhost/load_sink.h"
#include "tool.h"

#include <cstdint>
#include <string>
#include <utility>
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
    // A loaded image's rows when they are those samples already, instead of
    // a copy in `samples`; the image outlives the raster.
    const std::vector<uint8_t>* image_rows = nullptr;
    const std::vector<uint8_t>& sample_bytes() const { return image_rows != nullptr ? *image_rows : samples; }
    // The samples to change in place: borrowed rows are copied first.
    std::vector<uint8_t>& own_samples() {
        if (image_rows != nullptr) samples = *std::exchange(image_rows, nullptr);
        return samples;
    }
    std::vector<uint8_t> palette_rgb;  // 3 bytes per entry (palette kind)
    std::vector<uint8_t> palette_alpha;  // tRNS entries, may be shorter than the palette
    uint32_t significant_bits = 0;  // for an sBIT chunk (every channel); 0 for none

    uint32_t channels() const {
        switch (kind) {
            case Kind::kGreyAlpha: return 2;
            case Kind::kRgb: return 3;
            case Kind::kRgba: return 4;
            default: return 1;
        }
    }
};

enum class OutputKind { kPng, kBin, kUnknown };
// By the extension of the path: ".png" or ".bin".
OutputKind output_kind(const std::string& path);

// PNG output without --png-level: not a level of its own but the fastest
// that makes files no larger than zlib's fastest level (1 for images of
// several channels, 5 for palette indices, where libdeflate's level 1
// falls behind zlib's on dithered photographs).
inline constexpr int kDefaultPngLevel = 10;
// --png-level N (0 to 9), or kDefaultPngLevel; -1 for a value out of range.
int png_level(const ParsedArgs& args);

// Writes the raster as a PNG file at the deflate level (0: stored, 1:
// fastest, 9: smallest), all or nothing; false
// (with *error) on failure. Palette images are not filtered; others are
// filtered with Sub at levels up to 3 and at higher levels with the filter
// that suits each row best (png_output.cpp).
bool write_png(const std::string& path, const PngRaster& raster, int level, std::string* error);

// The raster of a loaded image: palette images become 8-bit palette PNGs
// (1-bit rows unpacked), other layouts keep their channels and depth.
// False (with *error) for a layout PNG cannot hold.
bool raster_from_image(const kvhost::LoadedImage& image, PngRaster* raster, std::string* error);

// Scales 16-bit words (host byte order) that hold `significant` bits (9 to
// 15) to the full 16-bit range; values above the range become 65535.
void scale_to_sixteen_bits(std::vector<uint8_t>& words, uint32_t significant);

// The image's palette indices, one byte per pixel whatever the depth, rows
// top to bottom.
std::vector<uint8_t> palette_indices(const kvhost::LoadedImage& image);

// Writes those indices as a file, all or nothing; false (with *error) on failure.
bool write_palette_indices(const std::string& path, const kvhost::LoadedImage& image, std::string* error);

}  // namespace kvtool
