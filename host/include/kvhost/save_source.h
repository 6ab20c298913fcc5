// What a save serves the component through its stream: the application's
// image and its conversion to palette indices, the metadata items to hand
// over and to replace announced fields with, and the tags to read back.
#pragma once

#include "kvhost/load_sink.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace kvhost {

// The application's image, in the host row layout of kvlzw/abi.h.
struct SaveRaster {
    enum class Kind { kPalette, kGrey, kRgb, kRgba };
    Kind kind = Kind::kPalette;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 8;                 // bits per pixel as stored
    const uint8_t* pixels = nullptr;    // height rows of row_size bytes
    uint32_t row_size = 0;
    std::vector<uint8_t> palette;       // kPalette: blue, green, red, 0 per entry
};

// The conversion chosen for saving: the depth (1, 4 or 8) and the palette
// the converted rows index; colours are kept exactly.
struct SaveConversion {
    uint32_t depth = 0;
    std::vector<uint8_t> palette;        // 4 bytes per entry, 2^depth entries
    std::vector<uint32_t> colours;       // grey or RGB images: the distinct colours, sorted (0xRRGGBB)
};

// One item of the application's metadata tree in delivery order.
struct FlatItem {
    const MetadataNode* node;
    int32_t kind;  // 1 begin, 2 value, 3 end
};

struct SaveSource {
    SaveRaster raster;
    std::unique_ptr<SaveConversion> conversion;
    std::vector<uint8_t> row;  // the converted row handed out last

    const MetadataNode* metadata = nullptr;  // root whose child "GIF" holds the items
    std::vector<FlatItem> items;
    size_t next_item = 0;
    std::vector<const MetadataNode*> announced;  // groups the writer has opened

    const TagStore* tags = nullptr;
    std::map<uint32_t, size_t> next_record;  // per record tag: records handed out
    // Records handed to the component, alive until the save ends.
    std::deque<std::vector<uint8_t>> record_storage;
    std::deque<std::vector<uint8_t>> record_data;
};

}  // namespace kvhost
