// GIF writing from arbitrary recipes: an image of any kind, depth and small
// size, a metadata tree of GIF item names (and some strangers) in any order
// and nesting, and tags of any kind, saved as a new page or appended; what
// was written is read back. Nothing may crash, stay allocated or change the
// destination of a failed save; a save with neither metadata nor tags must
// read back to the same indices.
#include "kvhost/errors.h"
#include "kvhost/gif.h"
#include "kvhost/gif_save.h"
#include "kvhost/memory.h"
#include "support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Recipe {
public:
    Recipe(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : byte() % n; }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out;
        while (out.size() < n && at_ < size_) out.push_back(data_[at_++]);
        out.resize(n, 0);
        return out;
    }
    bool empty() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct Name {
    const char* name;
    uint32_t id;
};
const Name kNames[] = {
    {"GIF", 14}, {"LogicalScreenDescriptor", 32}, {"LogicalScreenWidth", 513}, {"LogicalScreenHeight", 514},
    {"Fields", 517}, {"GlobalColorTableFlag", 518}, {"ColorResolution", 519}, {"SortFlag", 520},
    {"GlobalColorTableSize", 521}, {"BackgroundColorIndex", 515}, {"PixelAspectRatio", 516},
    {"GlobalColorTable", 48}, {"ImageDescriptor", 44}, {"ImageLeftPosition", 705}, {"ImageTopPosition", 706},
    {"ImageWidth", 707}, {"ImageHeight", 708}, {"Fields", 709}, {"LocalColorTableFlag", 710},
    {"InterlaceFlag", 711}, {"SortFlag", 712}, {"LocalColorTableSize", 713}, {"LocalColorTable", 64},
    {"AfterImageExtensions", 4095}, {"GraphicControlExtension", 249}, {"Fields", 3985}, {"DisposalMethod", 3986},
    {"UserInputFlag", 3987}, {"TransparentColorFlag", 3988}, {"DelayTime", 3989}, {"TransparentColorIndex", 3990},
    {"PlainTextExtension", 1}, {"TextGridLeftPosition", 17}, {"TextGridWidth", 19}, {"CharacterCellWidth", 21},
    {"PlainTextData", 25}, {"CommentExtension", 254}, {"ApplicationExtension", 255},
    {"ApplicationIdentifier", 4081}, {"Appl.AuthenticationCode", 4082}, {"ApplicationData", 4083},
    {"Stranger", 77}, {"GIF", 15},
};
const int32_t kTypes[] = {KV_METAD_TYPE_U8, KV_METAD_TYPE_U16, KV_METAD_TYPE_FLAG, KV_METAD_TYPE_CHARS,
                          KV_METAD_TYPE_BYTES, 0};

void grow_tree(Recipe& r, kvhost::MetadataNode& parent, int depth) {
    const uint32_t items = r.below(6);
    for (uint32_t i = 0; i < items && !r.empty(); ++i) {
        const Name& name = kNames[r.below(sizeof kNames / sizeof kNames[0])];
        kvhost::MetadataNode node;
        node.name = name.name;
        node.id = name.id;
        node.format = KV_FORMAT_GIF;
        if (depth < 4 && r.below(3) == 0) {
            node.kind = KV_METAD_GROUP_BEGIN;
            grow_tree(r, node, depth + 1);
        } else {
            node.kind = KV_METAD_VALUE;
            node.type = kTypes[r.below(6)];
            const uint32_t length = r.below(4) == 0 ? r.below(255) * 300 : r.below(12);
            node.has_data = r.below(8) != 0;
            if (node.has_data) node.data = r.bytes(length);
            node.count = static_cast<uint32_t>(node.data.size());
        }
        parent.children.push_back(std::move(node));
    }
}

void add_tags(Recipe& r, kvhost::TagStore& tags) {
    const uint32_t count = r.below(10);
    for (uint32_t i = 0; i < count && !r.empty(); ++i) {
        kvhost::TagEntry& e = tags.entries.emplace_back();
        e.tag = 1500 + r.below(16);
        e.kind = static_cast<kvhost::TagEntry::Kind>(r.below(4));
        e.word = static_cast<uint16_t>(r.byte() | r.byte() << 8);
        e.bytes = r.bytes(r.below(2) == 0 ? 768 : r.below(4));
        const uint8_t labels[] = {0x01, 0xF9, 0xFE, 0xFF, 0x02};
        e.extension.label = labels[r.below(5)];
        e.extension.fields = r.byte();
        e.extension.delay_time = r.byte();
        e.extension.auth_code = r.bytes(r.below(4) == 0 ? 300 : r.below(12));
        e.extension.has_data = r.below(4) != 0;
        if (e.extension.has_data) e.extension.data = r.bytes(r.below(600));
    }
}

kvhost::gif::SaveImage image_from(Recipe& r) {
    kvhost::gif::SaveImage image;
    image.kind = static_cast<kvhost::gif::SaveImage::Kind>(r.below(4));
    image.width = 1 + r.below(48);
    image.height = 1 + r.below(48);
    image.depth = image.kind == kvhost::gif::SaveImage::Kind::kPalette ? 1 + r.below(8)
                  : image.kind == kvhost::gif::SaveImage::Kind::kGrey  ? 8
                  : image.kind == kvhost::gif::SaveImage::Kind::kRgb   ? 24
                                                                       : 32;
    if (r.below(16) == 0) image.depth = r.byte();  // a depth that does not fit the kind
    const uint32_t channels = image.depth > 8 ? image.depth / 8 : 1;
    const size_t row = image.depth == 1 ? (image.width + 7) / 8 : size_t{image.width} * channels;
    image.palette = r.bytes(4 * r.below(257));
    // Few distinct values, so that colour images often fit 256 colours.
    const uint8_t spread = static_cast<uint8_t>(1 + r.below(255));
    for (size_t i = 0; i < row * image.height; ++i) image.pixels.push_back(static_cast<uint8_t>(r.byte() % spread));
    return image;
}

uint32_t index_at(const std::vector<uint8_t>& pixels, uint32_t depth, uint32_t width, uint32_t x, uint32_t y) {
    if (depth == 1) return (pixels.at(size_t{y} * ((width + 7) / 8) + x / 8) >> (7 - x % 8)) & 1;
    return pixels.at(size_t{y} * width + x);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    Recipe r(data, size);
    const uint8_t flags = r.byte();
    const kvhost::gif::SaveImage image = image_from(r);
    kvhost::MetadataNode tree;
    if (flags & 1) grow_tree(r, tree, 0);
    kvhost::TagStore tags;
    if (flags & 2) add_tags(r, tags);

    kvhost::gif::SaveOptions options;
    options.version = (flags & 4) ? 87 : 89;
    options.interlace = (flags & 8) != 0;
    options.append = (flags & 16) != 0;
    if (flags & 32) options.delay = r.byte();
    if (flags & 64) options.transparent_rgb = std::array<uint8_t, 3>{r.byte(), r.byte(), r.byte()};
    options.metadata = (flags & 1) ? &tree : nullptr;
    options.tags = (flags & 2) ? &tags : nullptr;

    // Appending goes onto a page written first, or onto the recipe's rest.
    std::vector<uint8_t> buffer;
    if (options.append && (flags & 128)) {
        kvhost::gif::SaveImage first = image;
        kvhost::gif::save_page(kvhost::gif::Destination::memory(&buffer), first, {});
    } else if (options.append) {
        buffer = r.bytes(r.below(64));
    }
    const std::vector<uint8_t> before = buffer;
    const auto saved = kvhost::gif::save_page(kvhost::gif::Destination::memory(&buffer), image, options);
    kvfuzz::expect_clean(blocks_before);
    if (!saved.ok()) {
        if (buffer != before) std::abort();
        return 0;
    }
    const auto source = kvhost::gif::Source::memory(buffer.data(), buffer.size());
    const auto count = kvhost::gif::page_count(source);
    if (count.count == 0) std::abort();
    const auto page = kvhost::gif::load_page(source, count.count);
    if (!page.ok() || page.image == nullptr) std::abort();
    const bool plain = (flags & 3) == 0 && image.kind == kvhost::gif::SaveImage::Kind::kPalette &&
                       image.depth == page.image->depth;
    for (uint32_t y = 0; plain && y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            if (index_at(image.pixels, image.depth, image.width, x, y) !=
                index_at(page.image->pixels, page.image->depth, page.image->width, x, y)) {
                std::abort();
            }
        }
    }
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
