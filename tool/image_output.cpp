#include "image_output.h"

#include "kvhost/image.h"
#include "tool.h"

#include <cstring>

namespace kvtool {

OutputKind output_kind(const std::string& path) {
    if (path == "-") return output_kind("." + standard_output_format());
    if (ends_with(path, ".png") || ends_with(path, ".PNG")) return OutputKind::kPng;
    if (ends_with(path, ".bin")) return OutputKind::kBin;
    return OutputKind::kUnknown;
}

int png_level(const ParsedArgs& args) {
    uint64_t value = kDefaultPngLevel;
    if (args.has("--png-level") && (!parse_number(args.value("--png-level"), &value) || value > 9)) return -1;
    return static_cast<int>(value);
}

void scale_to_sixteen_bits(std::vector<uint8_t>& words, uint32_t significant) {
    const uint32_t max = (1u << significant) - 1;
    for (size_t i = 0; i + 1 < words.size(); i += 2) {
        uint16_t v;
        std::memcpy(&v, words.data() + i, 2);
        const auto scaled = static_cast<uint16_t>(uint32_t{v} > max ? 65535 : uint32_t{v} * 65535 / max);
        std::memcpy(words.data() + i, &scaled, 2);
    }
}

std::vector<uint8_t> palette_indices(const kvhost::LoadedImage& image) {
    std::vector<uint8_t> indices(size_t{image.width} * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        uint8_t* out = indices.data() + size_t{y} * image.width;
        if (image.depth == 1) {
            for (uint32_t x = 0; x < image.width; ++x) out[x] = (row[x / 8] >> (7 - x % 8)) & 1;
        } else {
            std::memcpy(out, row, image.width);
        }
    }
    return indices;
}

namespace {

// Rows of one byte per pixel are the indices already.
bool rows_are_indices(const kvhost::LoadedImage& image) { return image.depth != 1 && image.row_size == image.width; }

}  // namespace

bool write_palette_indices(const std::string& path, const kvhost::LoadedImage& image, std::string* error) {
    if (rows_are_indices(image)) return write_whole_file(path, image.pixels, error);
    return write_whole_file(path, palette_indices(image), error);
}

bool raster_from_image(const kvhost::LoadedImage& image, PngRaster* raster, std::string* error) {
    raster->width = image.width;
    raster->height = image.height;
    if (image.colorspace == kvhost::colorspace::kPalette) {
        raster->kind = PngRaster::Kind::kPalette;
        raster->bit_depth = 8;
        if (rows_are_indices(image)) {
            raster->image_rows = &image.pixels;
        } else {
            raster->samples = palette_indices(image);
        }
        const size_t entries = image.palette.size() / 4;
        raster->palette_rgb.resize(entries * 3);
        for (size_t i = 0; i < entries; ++i) {
            raster->palette_rgb[i * 3 + 0] = image.palette[i * 4 + 2];
            raster->palette_rgb[i * 3 + 1] = image.palette[i * 4 + 1];
            raster->palette_rgb[i * 3 + 2] = image.palette[i * 4 + 0];
        }
        return true;
    }
    switch (image.colorspace) {
        case kvhost::colorspace::kGrey: raster->kind = PngRaster::Kind::kGrey; break;
        case kvhost::colorspace::kGreyAlpha: raster->kind = PngRaster::Kind::kGreyAlpha; break;
        case kvhost::colorspace::kRgb: raster->kind = PngRaster::Kind::kRgb; break;
        case kvhost::colorspace::kRgba: raster->kind = PngRaster::Kind::kRgba; break;
        default:
            if (error != nullptr) *error = "PNG cannot hold this image's colour space; write .bin instead";
            return false;
    }
    if (image.channels != raster->channels() || image.bits_per_channel > 16) {
        if (error != nullptr) *error = "PNG cannot hold this image's sample layout; write .bin instead";
        return false;
    }
    raster->bit_depth = image.bits_per_channel <= 8 ? 8 : 16;
    raster->image_rows = &image.pixels;
    return true;
}

}  // namespace kvtool
