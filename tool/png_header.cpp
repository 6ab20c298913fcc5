// A PNG's header read before any decoder runs, so that an image beyond the
// limits is refused before a byte of it is inflated.
#include "png_header.h"

#include "tool.h"

#include <algorithm>
#include <cstring>

namespace kvtool {

uint64_t png_decoding_bytes(const std::vector<uint8_t>& head, const std::string& name) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    constexpr size_t kHeaderEnd = 8 + 8 + 13;  // signature, IHDR length and type, IHDR data
    if (head.size() < kHeaderEnd || std::memcmp(head.data(), kSignature, 8) != 0 ||
        std::memcmp(head.data() + 12, "IHDR", 4) != 0) {
        complain(name + " is not a PNG file");
        return 0;
    }
    auto word = [&](size_t at) {
        return uint32_t{head[at]} << 24 | uint32_t{head[at + 1]} << 16 | uint32_t{head[at + 2]} << 8 | head[at + 3];
    };
    const uint64_t width = word(16), height = word(20);
    if (!pixels_allowed(name, width, height)) return 0;
    constexpr uint8_t kPaletteColourType = 3;
    const uint64_t per_pixel = head[25] == kPaletteColourType ? 1 : 4;
    return std::max<uint64_t>(1, width * height * (per_pixel + 1));
}

}  // namespace kvtool
