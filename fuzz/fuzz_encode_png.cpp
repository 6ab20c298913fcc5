// kvlzw encode on arbitrary bytes: the header check, the tool's PNG reader
// and colour indexing, then the host's save of the page, new and appended.
// Nothing may crash or stay allocated; a page saved must load back with the
// indices and colours it was given.
#include "indexed_colours.h"
#include "kvhost/gif.h"
#include "kvhost/gif_save.h"
#include "kvhost/memory.h"
#include "png_header.h"
#include "png_input.h"
#include "support.h"
#include "tool.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// The palette index of a pixel of a loaded page: 1-bit rows are packed,
// most significant bit first; deeper ones hold an index a byte.
uint32_t index_at(const kvhost::LoadedImage& image, uint32_t x, uint32_t y) {
    const uint8_t* row = image.row(y);
    return image.depth == 1 ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x];
}

void encode(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> head(data, data + std::min(size, kvtool::kInputHeadBytes));
    const uint64_t needed = kvtool::png_decoding_bytes(head, "fuzz");
    kvhost::memory::Reservation decoding;
    if (needed == 0 || !decoding.reserve(needed)) return;
    kvtool::PngRaster raster;
    kvtool::IndexedImage indexed;
    std::string error;
    const bool dither = size % 2 == 0;
    if (!kvtool::read_png(data, size, "fuzz", &raster, &error) ||
        !kvtool::index_colours(std::move(raster), dither, &indexed, &error))
        return;
    // Compared by colour: the save may pack indices into fewer bits, never change what they show.
    const std::vector<uint8_t> indices = indexed.indices, palette = indexed.palette_rgb;
    const kvhost::gif::SaveImage image = kvtool::save_image_of(std::move(indexed));
    std::vector<uint8_t> gif;
    kvhost::gif::PageWriter writer(&gif);
    for (uint32_t page = 1; page <= 2; ++page) {
        if (!writer.save(image, {.append = page > 1, .interlace = size % 3 == 0}).ok()) return;
    }
    kvhost::gif::PageReader reader(kvhost::gif::Source::memory(gif.data(), gif.size()));
    for (uint32_t page = 1; page <= 2; ++page) {
        const kvhost::gif::PageResult loaded = reader.load(page);
        bool same = loaded.ok() && loaded.image != nullptr && loaded.image->width == image.width &&
                    loaded.image->height == image.height;
        for (size_t i = 0; same && i < indices.size(); ++i) {
            const uint32_t index = index_at(*loaded.image, i % image.width, i / image.width);
            const uint8_t* entry = loaded.image->palette.data() + index * 4;
            same = index * 4 + 3 < loaded.image->palette.size() && entry[2] == palette[indices[i] * 3] &&
                   entry[1] == palette[indices[i] * 3 + 1] && entry[0] == palette[indices[i] * 3 + 2];
        }
        if (!same) {
            std::fprintf(stderr, "fuzz: page %u does not load back with the colours saved\n", page);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool limited = [] {
        // The tool's limits, smaller: pixels within reach of a fuzzing run.
        kvtool::ParsedArgs args;
        args.values["--max-pixels"] = "4000000";
        args.values["--max-memory"] = "256M";
        return kvtool::apply_common_options(args, {}).empty();
    }();
    if (!limited) std::abort();
    kvfuzz::component();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    encode(data, size);
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
