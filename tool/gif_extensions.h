// The extension blocks the encode command asks for, as the metadata tree
// the save call takes (the names and identifiers a load reports).
#pragma once

#include "kvhost/load_sink.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kvtool {

struct PageExtensions {
    std::optional<uint16_t> loop_count;  // the looping application extension
    std::optional<std::string> comment;
    uint16_t delay = 0;   // hundredths of a second
    uint8_t disposal = 0;
    std::optional<uint8_t> transparent;
};

// A root holding the "GIF" group with, in this order, the looping
// application extension, the comment and the graphic control extension,
// all before the image.
kvhost::MetadataNode page_metadata(const PageExtensions& extensions);

}  // namespace kvtool
