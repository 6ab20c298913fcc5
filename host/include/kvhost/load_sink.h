// What a load delivers through a stream: the image (rows in the host row
// layout documented in kvlzw/abi.h) and the stream attributes.
#pragma once

#include "kvhost/memory.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct HostImage;

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

// One metadata item reported by a load: a group with its children, or a
// value with a copy of its data (the component frees its own buffers).
struct MetadataNode {
    int32_t kind = 0;  // 1 = group, 2 = value (0 = the tree's unnamed root)
    std::string name;
    uint32_t id = 0;
    uint32_t format = 0;
    int32_t type = 0;    // value type code (22, 24, 27, 28, 33)
    uint32_t count = 0;  // values of the type
    bool has_data = false;  // false: reported with a null address
    std::vector<uint8_t> data;
    int32_t last = 0;
    std::vector<MetadataNode> children;

    // The first child with this name (and identifier, when non-zero), or null.
    const MetadataNode* child(const std::string& child_name, uint32_t child_id = 0) const;
    // Values as numbers: the unsigned value at index i of a 22, 24 or 27 item.
    uint64_t number(uint32_t i = 0) const;
    std::string text() const { return std::string(data.begin(), data.end()); }
};

struct MetadataTree {
    MetadataNode root;
    // Groups begun and not yet ended, innermost last.
    std::vector<MetadataNode*> open;
    // False once an end did not match the open group.
    bool balanced = true;
    // Groups begun past the memory budget and not kept, whose ends are still due.
    uint32_t dropped_groups = 0;
};

// A deep copy of one GIF extension record (tags 1512 and 1514).
struct ExtensionCopy {
    uint32_t label = 0;
    uint32_t fields = 0;  // graphic control
    uint32_t delay_time = 0;
    uint8_t transparent_index = 0;
    uint32_t grid[4] = {0, 0, 0, 0};  // plain text: left, top, width, height
    uint32_t cell_width = 0, cell_height = 0, foreground_index = 0, background_index = 0;
    uint8_t identifier[8] = {};        // application
    std::vector<uint8_t> auth_code;
    bool has_data = false;  // plain text, comment, application
    std::vector<uint8_t> data;
};

// One tag as set, in the order set; a tag set several times keeps each.
struct TagEntry {
    uint32_t tag = 0;
    enum class Kind { kBytes, kWord, kByte, kExtension } kind = Kind::kBytes;
    uint32_t type = 0;
    uint16_t word = 0;
    std::vector<uint8_t> bytes;  // kBytes (and kByte: one byte)
    ExtensionCopy extension;     // kExtension
};

struct TagStore {
    std::vector<TagEntry> entries;
    // Every entry of the tag, oldest first.
    std::vector<const TagEntry*> all(uint32_t tag) const;
    // The latest entry of the tag, or null.
    const TagEntry* find(uint32_t tag) const;
};

// Takes each delivered row (its index, its bytes) in place of the image's
// pixels; a non-zero status (recorded by the consumer) fails the delivery.
using RowConsumer = std::function<HostStatus(int64_t row, const uint8_t* bytes, uint64_t count)>;

struct LoadSink {
    std::unique_ptr<LoadedImage> image;
    // When set, the image holds no pixels: every row goes here as it is
    // delivered, so that a large image passes through without a copy.
    RowConsumer row_consumer;
    // The image a load with a destination decodes into (owned by whoever
    // the destination belongs to).
    HostImage* destination_image = nullptr;
    std::map<uint32_t, AttributeValue> attributes;
    MetadataTree metadata;
    TagStore tags;
    // What IO_tag_set_exists answers: whether the reader should set tags.
    bool keeps_tags = true;
    // Whether metadata items become the tree; when not, they are taken and dropped.
    bool keeps_metadata = true;
    // Largest image (height * row size) that IO_DIB_create_ex accepts.
    uint64_t max_image_bytes = uint64_t{1} << 30;
    // What the copies above hold, counted against the load's memory budget
    // until the stream ends; once one did not fit, the rest are dropped.
    memory::Reservation retained;
    bool over_budget = false;
};

}  // namespace kvhost
