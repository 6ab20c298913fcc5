#include "indexed_colours.h"

#include "kvhost/shared_library.h"

#include <libimagequant.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

namespace kvtool {
namespace {

constexpr size_t kMostColours = 256;

uint32_t rgb_at(const uint8_t* pixel) { return uint32_t{pixel[0]} << 16 | uint32_t{pixel[1]} << 8 | pixel[2]; }

void index_palette_raster(PngRaster& raster, IndexedImage* out) {
    out->palette_rgb = raster.palette_rgb;
    out->indices = std::move(raster.samples);
    // An index past PLTE (PNG readers let it through) still needs an entry.
    if (out->palette_rgb.size() < kMostColours * 3) {
        const uint8_t largest = *std::max_element(out->indices.begin(), out->indices.end());
        if (size_t{largest} * 3 + 3 > out->palette_rgb.size()) out->palette_rgb.resize(size_t{largest} * 3 + 3, 0);
    }
    std::vector<bool> clear(kMostColours, false);
    for (size_t i = 0; i < raster.palette_alpha.size() && i < kMostColours; ++i) {
        if (raster.palette_alpha[i] != 0) continue;
        clear[i] = true;
        if (!out->transparent) out->transparent = static_cast<uint8_t>(i);
    }
    if (!out->transparent) return;
    for (uint8_t& index : out->indices) {
        if (clear[index]) index = *out->transparent;
    }
}

// Exact colours in order of first appearance; false when there are too many.
bool index_exact_colours(const PngRaster& raster, IndexedImage* out) {
    const size_t pixels = size_t{raster.width} * raster.height;
    bool has_clear = false;
    std::unordered_map<uint32_t, uint8_t> index_of;
    out->indices.resize(pixels);
    // Neighbours mostly share a colour: the last one skips the table.
    uint32_t last_rgb = UINT32_MAX;
    uint8_t last_index = 0;
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* pixel = raster.samples.data() + i * 4;
        if (pixel[3] == 0) {
            has_clear = true;
            continue;
        }
        const uint32_t rgb = rgb_at(pixel);
        if (rgb != last_rgb) {
            auto [at, added] = index_of.try_emplace(rgb, static_cast<uint8_t>(index_of.size()));
            if (added && index_of.size() + (has_clear ? 1 : 0) > kMostColours) return false;
            last_rgb = rgb;
            last_index = at->second;
        }
        out->indices[i] = last_index;
    }
    if (index_of.size() + (has_clear ? 1 : 0) > kMostColours) return false;
    out->palette_rgb.assign(index_of.size() * 3, 0);
    for (const auto& [rgb, index] : index_of) {
        out->palette_rgb[index * 3 + 0] = static_cast<uint8_t>(rgb >> 16);
        out->palette_rgb[index * 3 + 1] = static_cast<uint8_t>(rgb >> 8);
        out->palette_rgb[index * 3 + 2] = static_cast<uint8_t>(rgb);
    }
    if (has_clear) {
        out->transparent = static_cast<uint8_t>(index_of.size());
        out->palette_rgb.resize(out->palette_rgb.size() + 3, 0);
        for (size_t i = 0; i < pixels; ++i) {
            if (raster.samples[i * 4 + 3] == 0) out->indices[i] = *out->transparent;
        }
    }
    return true;
}

// libimagequant is loaded when an image first needs quantizing, not when
// the tool starts: it and its OpenMP runtime would cost every run's
// start-up, and most runs quantize nothing.
#define LIBIMAGEQUANT_FUNCTIONS(F) \
    F(liq_, attr_create) F(liq_, attr_destroy) F(liq_, set_max_colors) F(liq_, image_create_rgba) \
    F(liq_, image_destroy) F(liq_, image_quantize) F(liq_, result_destroy) F(liq_, set_dithering_level) \
    F(liq_, write_remapped_image) F(liq_, get_palette)
struct Libimagequant {
    LIBIMAGEQUANT_FUNCTIONS(KVHOST_LAZY_MEMBER)
};
constexpr const char* kLibimagequantNames[] = {LIBIMAGEQUANT_FUNCTIONS(KVHOST_LAZY_NAME)};

// The loaded library, or nullptr with the loader's reason in *why.
const Libimagequant* load_libimagequant(std::string* why) {
    return kvhost::load_table_once<Libimagequant>(KVLZW_LIBIMAGEQUANT, kLibimagequantNames, why);
}

struct LiqDeleter {
    const Libimagequant* liq;
    void operator()(liq_attr* p) const { liq->attr_destroy(p); }
    void operator()(liq_image* p) const { liq->image_destroy(p); }
    void operator()(liq_result* p) const { liq->result_destroy(p); }
};

bool quantize(const PngRaster& raster, bool dither, IndexedImage* out, std::string* error) {
    const size_t pixels = size_t{raster.width} * raster.height;
    // Opaque for every visible pixel, one shared colour for the invisible
    // ones, so that they gather in a single entry of alpha 0.
    std::vector<uint8_t> rgba(raster.samples.begin(), raster.samples.begin() + pixels * 4);
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t* pixel = rgba.data() + i * 4;
        if (pixel[3] == 0) {
            pixel[0] = pixel[1] = pixel[2] = 0;
        } else {
            pixel[3] = 255;
        }
    }
    std::string why;
    const Libimagequant* liq = load_libimagequant(&why);
    if (liq == nullptr) {
        *error = "cannot load the colour quantizer (" + why + ")";
        return false;
    }
    const LiqDeleter destroy{liq};
    std::unique_ptr<liq_attr, LiqDeleter> attr(liq->attr_create(), destroy);
    if (attr == nullptr || liq->set_max_colors(attr.get(), kMostColours) != LIQ_OK) {
        *error = "cannot set up the colour quantizer";
        return false;
    }
    std::unique_ptr<liq_image, LiqDeleter> image(
        liq->image_create_rgba(attr.get(), rgba.data(), static_cast<int>(raster.width), static_cast<int>(raster.height), 0),
        destroy);
    liq_result* result_handle = nullptr;
    if (image == nullptr || liq->image_quantize(image.get(), attr.get(), &result_handle) != LIQ_OK) {
        *error = "cannot quantize the image's colours";
        return false;
    }
    std::unique_ptr<liq_result, LiqDeleter> result(result_handle, destroy);
    liq->set_dithering_level(result.get(), dither ? 1.0f : 0.0f);
    out->indices.resize(pixels);
    if (liq->write_remapped_image(result.get(), image.get(), out->indices.data(), pixels) != LIQ_OK) {
        *error = "cannot map the image to its quantized colours";
        return false;
    }
    const liq_palette* palette = liq->get_palette(result.get());
    out->palette_rgb.resize(size_t{palette->count} * 3);
    for (unsigned i = 0; i < palette->count; ++i) {
        out->palette_rgb[i * 3 + 0] = palette->entries[i].r;
        out->palette_rgb[i * 3 + 1] = palette->entries[i].g;
        out->palette_rgb[i * 3 + 2] = palette->entries[i].b;
        if (palette->entries[i].a == 0 && !out->transparent) out->transparent = static_cast<uint8_t>(i);
    }
    bool has_clear = false;
    for (size_t i = 0; i < pixels && !has_clear; ++i) has_clear = rgba[i * 4 + 3] == 0;
    if (has_clear && !out->transparent) {
        *error = "the quantizer kept no entry for the transparent pixels";
        return false;
    }
    if (has_clear) {
        for (size_t i = 0; i < pixels; ++i) {
            if (rgba[i * 4 + 3] == 0) out->indices[i] = *out->transparent;
        }
    }
    return true;
}

}  // namespace

bool index_colours(PngRaster&& raster, bool dither, IndexedImage* out, std::string* error) {
    *out = IndexedImage{};
    out->width = raster.width;
    out->height = raster.height;
    if (raster.kind == PngRaster::Kind::kPalette) {
        index_palette_raster(raster, out);
        return true;
    }
    if (index_exact_colours(raster, out)) return true;
    *out = IndexedImage{};
    out->width = raster.width;
    out->height = raster.height;
    return quantize(raster, dither, out, error);
}

kvhost::gif::SaveImage save_image_of(IndexedImage&& indexed) {
    kvhost::gif::SaveImage image;
    image.kind = kvhost::gif::SaveImage::Kind::kPalette;
    image.width = indexed.width;
    image.height = indexed.height;
    image.depth = 8;
    image.pixels = std::move(indexed.indices);
    const size_t entries = indexed.palette_rgb.size() / 3;
    image.palette.assign(entries * 4, 0);
    for (size_t i = 0; i < entries; ++i) {
        image.palette[i * 4 + 0] = indexed.palette_rgb[i * 3 + 2];
        image.palette[i * 4 + 1] = indexed.palette_rgb[i * 3 + 1];
        image.palette[i * 4 + 2] = indexed.palette_rgb[i * 3 + 0];
    }
    return image;
}

}  // namespace kvtool
