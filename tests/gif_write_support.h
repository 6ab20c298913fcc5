// Helpers for the GIF writing tests: images and metadata trees to save, the
// save entry run on a stream of the test's own, and giflib as the oracle.
#pragma once

#include "gif_test_files.h"
#include "kvhost/gif_save.h"
#include "kvhost/image.h"

#include <initializer_list>

// Images, options and metadata are written with designated initializers; the
// members left out take their defaults, which is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace gifwrite {

using kvhost::MetadataNode;
using kvhost::gif::SaveImage;

// Indices, one per pixel, in the host row layout of the depth (1-bit rows packed).
inline std::vector<uint8_t> host_rows(const std::vector<uint8_t>& indices, uint32_t width, uint32_t height,
                                      uint32_t depth) {
    if (depth != 1) return indices;
    const size_t row = (width + 7) / 8;
    std::vector<uint8_t> out(row * height, 0);
    for (size_t i = 0; i < indices.size(); ++i) out[i / width * row + i % width / 8] |= uint8_t(indices[i] << (7 - i % width % 8));
    return out;
}

// A palette image of the depth (1 to 8) whose entry i is (i, 2i, 3i) and
// whose indices are the pattern.
inline SaveImage palette_image(uint32_t width, uint32_t height, uint32_t depth, uint32_t seed = 7) {
    SaveImage image{.width = width, .height = height, .depth = depth};
    const uint32_t entries = 1u << depth;
    for (uint32_t i = 0; i < entries; ++i) image.palette.insert(image.palette.end(), {uint8_t(3 * i), uint8_t(2 * i), uint8_t(i), 0});
    image.pixels = host_rows(giftest::pattern(size_t{width} * height, entries, seed), width, height, depth);
    return image;
}

// The indices of a palette image, one per pixel.
inline std::vector<uint8_t> indices_of(const SaveImage& image) {
    return giftest::indices_of({.width = image.width, .height = image.height, .depth = image.depth,
                                .row_size = image.depth == 1 ? (image.width + 7) / 8 : image.width,
                                .pixels = image.pixels});
}

inline MetadataNode group(const char* name, uint32_t id, std::initializer_list<MetadataNode> children) {
    return {.kind = KV_METAD_GROUP_BEGIN, .name = name, .id = id, .format = KV_FORMAT_GIF, .children = children};
}

inline MetadataNode value(const char* name, uint32_t id, int32_t type, std::vector<uint8_t> data, uint32_t count) {
    return {.kind = KV_METAD_VALUE, .name = name, .id = id, .format = KV_FORMAT_GIF, .type = type, .count = count,
            .has_data = true, .data = std::move(data)};
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
    return {.children = {group("GIF", KV_FORMAT_GIF, items)}};
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

// The save entry on a stream over `bytes`, serving this image (which must
// outlive the stream), metadata and tags; the stream is kept for inspection.
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
    const uint32_t depth = image.depth;
    save->raster = {.kind = static_cast<kvhost::SaveRaster::Kind>(image.kind), .width = image.width,
                    .height = image.height, .depth = depth, .pixels = image.pixels.data(),
                    .row_size = kvhost::host_row_size(image.width, depth, depth <= 8 ? 1 : depth / 8, 8),
                    .palette = image.palette};
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

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace gifwrite
