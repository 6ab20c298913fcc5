// Helpers for the GIF writing tests: images and metadata trees to save, the
// save entry run on a stream of the test's own, and giflib as the oracle.
#pragma once

#include "gif_test_files.h"
#include "kvhost/gif_save.h"
#include "kvhost/image.h"

#include <initializer_list>

namespace gifwrite {

using kvhost::MetadataNode;
using kvhost::gif::SaveImage;

// A palette image of the depth (1 to 8) whose entry i is (i, 2i, 3i) and
// whose indices are the pattern.
inline SaveImage palette_image(uint32_t width, uint32_t height, uint32_t depth, uint32_t seed = 7) {
    SaveImage image;
    image.width = width;
    image.height = height;
    image.depth = depth;
    const uint32_t entries = 1u << depth;
    for (uint32_t i = 0; i < entries; ++i) image.palette.insert(image.palette.end(), {uint8_t(3 * i), uint8_t(2 * i), uint8_t(i), 0});
    const auto indices = giftest::pattern(size_t{width} * height, entries, seed);
    if (depth == 1) {
        const uint32_t row = (width + 7) / 8;
        image.pixels.assign(size_t{row} * height, 0);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                image.pixels[size_t{y} * row + x / 8] |= uint8_t(indices[size_t{y} * width + x] << (7 - x % 8));
    } else {
        image.pixels = indices;
    }
    return image;
}

// The indices of a palette image, one per pixel.
inline std::vector<uint8_t> indices_of(const SaveImage& image) {
    kvhost::LoadedImage loaded;
    loaded.width = image.width;
    loaded.height = image.height;
    loaded.depth = image.depth;
    loaded.row_size = image.depth == 1 ? (image.width + 7) / 8 : image.width;
    loaded.pixels = image.pixels;
    return giftest::indices_of(loaded);
}

inline MetadataNode group(const char* name, uint32_t id, std::initializer_list<MetadataNode> children) {
    MetadataNode node;
    node.kind = KV_METAD_GROUP_BEGIN;
    node.name = name;
    node.id = id;
    node.format = KV_FORMAT_GIF;
    node.children = children;
    return node;
}

inline MetadataNode value(const char* name, uint32_t id, int32_t type, std::vector<uint8_t> data, uint32_t count) {
    MetadataNode node;
    node.kind = KV_METAD_VALUE;
    node.name = name;
    node.id = id;
    node.format = KV_FORMAT_GIF;
    node.type = type;
    node.count = count;
    node.has_data = true;
    node.data = std::move(data);
    return node;
}

inline MetadataNode number(const char* name, uint32_t id, int32_t type, uint32_t v) {
    const size_t size = type == KV_METAD_TYPE_U8 ? 1 : type == KV_METAD_TYPE_U16 ? 2 : 4;
    std::vector<uint8_t> data(size);
    std::memcpy(data.data(), &v, size);
    return value(name, id, type, std::move(data), 1);
}

inline MetadataNode text(const char* name, uint32_t id, const std::string& s, int32_t type = KV_METAD_TYPE_CHARS) {
    return value(name, id, type, std::vector<uint8_t>(s.begin(), s.end()), static_cast<uint32_t>(s.size()));
}

// An unnamed root holding the "GIF" group with these items.
inline MetadataNode tree(std::initializer_list<MetadataNode> items) {
    MetadataNode root;
    root.children.push_back(group("GIF", KV_FORMAT_GIF, items));
    return root;
}

inline MetadataNode graphic_control(uint32_t disposal, bool transparent, uint32_t delay, uint32_t index) {
    return group("GraphicControlExtension", 249,
                 {group("Fields", 3985,
                        {number("DisposalMethod", 3986, KV_METAD_TYPE_U8, disposal),
                         number("UserInputFlag", 3987, KV_METAD_TYPE_FLAG, 0),
                         number("TransparentColorFlag", 3988, KV_METAD_TYPE_FLAG, transparent)}),
                  number("DelayTime", 3989, KV_METAD_TYPE_U16, delay),
                  number("TransparentColorIndex", 3990, KV_METAD_TYPE_U8, index)});
}

// The save entry on a stream over `bytes` (positioned at `at`), serving this
// image, metadata and tags; the stream is kept for inspection.
struct EntrySave {
    std::unique_ptr<HostStream> stream;
    HostStatus status = 0;
    std::vector<int32_t> codes;
    std::vector<kvhost::ErrorRecord> errors;

    std::vector<uint8_t> bytes() const { return kvhost::memory_stream_bytes(stream.get()); }
};

inline std::unique_ptr<HostStream> save_stream(std::vector<uint8_t> bytes, const SaveImage& image,
                                               const MetadataNode* metadata = nullptr,
                                               const kvhost::TagStore* tags = nullptr) {
    auto stream = kvhost::memory_stream(std::move(bytes));
    auto save = std::make_unique<kvhost::SaveSource>();
    kvhost::SaveRaster& r = save->raster;
    r.kind = static_cast<kvhost::SaveRaster::Kind>(image.kind);
    r.width = image.width;
    r.height = image.height;
    r.depth = image.kind == SaveImage::Kind::kPalette ? image.depth : image.kind == SaveImage::Kind::kGrey ? 8
                                                                     : image.kind == SaveImage::Kind::kRgb ? 24 : 32;
    r.row_size = kvhost::host_row_size(image.width, r.depth, r.depth <= 8 ? 1 : r.depth / 8, 8);
    r.pixels = image.pixels.data();
    r.palette = image.palette;
    save->metadata = metadata;
    save->tags = tags;
    stream->save = std::move(save);
    return stream;
}

inline EntrySave run_entry(std::unique_ptr<HostStream> stream, uint32_t page_mode, GifSettings settings = {89, 0, 0}) {
    auto entry = reinterpret_cast<ImageSaveFn>(kvtest::gif_filter().entry(KV_OP_SAVE));
    kvhost::clear_errors();
    EntrySave out;
    out.status = entry(stream.get(), &settings, page_mode, nullptr, 0);
    out.errors = kvhost::error_records();
    out.codes = kvtest::codes(out.errors);
    kvhost::clear_errors();
    out.stream = std::move(stream);
    return out;
}

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace gifwrite
