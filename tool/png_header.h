// A PNG's header read before any decoder runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvtool {

// What decoding a PNG will hold, told by its first bytes (the signature and
// the IHDR chunk) before anything is inflated: the samples (an index byte a
// pixel for a palette image, else four bytes) and the indices made of them.
// 0 when the bytes are not a PNG's or the image is beyond the pixel limit
// (after a message naming `name`).
uint64_t png_decoding_bytes(const std::vector<uint8_t>& head, const std::string& name);

}  // namespace kvtool
