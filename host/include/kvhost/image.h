// Image descriptions (HostDibInfo): geometry, layout and palette of an image
// being loaded or saved.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>
#include <vector>

namespace kvhost {

struct SaveSource;

// The host's colour space numbers (what DIB_colorspace_get answers).
namespace colorspace {
inline constexpr uint32_t kGrey = 1;
inline constexpr uint32_t kRgb = 2;
inline constexpr uint32_t kPalette = 3;
inline constexpr uint32_t kRgba = 4;
inline constexpr uint32_t kGreyAlpha = 5;
inline constexpr uint32_t kCmyk = 6;
inline constexpr uint32_t kLab = 7;
}  // namespace colorspace

// Format codes accepted by DIB_info_create_cnvt_res besides 0 (which picks
// the layout from the depth alone).
namespace format_code {
// One grey sample of 9 to 16 significant bits, held in a 16-bit word.
inline constexpr uint32_t kGreyWide = 503;
}  // namespace format_code

// Row size in bytes of the host row layout (see kvlzw/abi.h).
uint32_t host_row_size(uint32_t width, uint32_t depth, uint32_t channels, uint32_t bits_per_channel);

}  // namespace kvhost

struct HostDibInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;  // bits per pixel
    uint32_t format_code = 0;
    uint32_t colorspace = 0;
    uint32_t channels = 1;
    uint32_t bits_per_channel = 0;
    std::vector<int64_t> channel_depths;
    std::vector<uint8_t> palette;  // 4 bytes per entry once allocated
    bool palette_allocated = false;
    uint32_t conversion[5] = {0, 0, 0, 0, 0};
    // The save whose image this describes, for the description of an image being saved.
    kvhost::SaveSource* save_source = nullptr;
};
