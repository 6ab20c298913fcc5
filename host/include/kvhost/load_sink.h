// What a load delivers through a stream: the image (rows in the host row
// layout documented in kvlzw/abi.h) and the stream attributes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace kvhost {

struct LoadedImage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;       // bits per pixel
    uint32_t colorspace = 0;  // kvhost::colorspace values
    uint32_t channels = 1;
    uint32_t bits_per_channel = 0;
    uint32_t row_size = 0;             // bytes per row
    std::vector<uint8_t> palette;      // 4 bytes per entry: blue, green, red, 0
    std::vector<uint8_t> pixels;       // height * row_size bytes
    std::vector<int64_t> row_order;    // row indices in delivery order
    uint64_t rows_delivered = 0;

    const uint8_t* row(uint32_t y) const { return pixels.data() + static_cast<size_t>(y) * row_size; }
};

// A stream attribute: the value itself, or the bytes at the address given.
struct AttributeValue {
    uint64_t value = 0;
    std::vector<uint8_t> bytes;
};

struct LoadSink {
    std::unique_ptr<LoadedImage> image;
    std::map<uint32_t, AttributeValue> attributes;
    // Largest image (height * row size) that IO_DIB_create_ex accepts.
    uint64_t max_image_bytes = uint64_t{1} << 30;
};

}  // namespace kvhost
