#include "image_output.h"

#include "kvhost/image.h"
#include "tool.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

namespace kvtool {

OutputKind output_kind(const std::string& path) {
    if (path == "-") return output_kind("." + standard_output_format());
    if (ends_with(path, ".png") || ends_with(path, ".PNG")) return OutputKind::kPng;
    if (ends_with(path, ".bin")) return OutputKind::kBin;
    return OutputKind::kUnknown;
}

namespace {

int png_color_type(PngRaster::Kind kind) {
    switch (kind) {
        case PngRaster::Kind::kPalette: return PNG_COLOR_TYPE_PALETTE;
        case PngRaster::Kind::kGrey: return PNG_COLOR_TYPE_GRAY;
        case PngRaster::Kind::kGreyAlpha: return PNG_COLOR_TYPE_GRAY_ALPHA;
        case PngRaster::Kind::kRgb: return PNG_COLOR_TYPE_RGB;
        case PngRaster::Kind::kRgba: return PNG_COLOR_TYPE_RGB_ALPHA;
    }
    return PNG_COLOR_TYPE_GRAY;
}

uint32_t channels_of(PngRaster::Kind kind) {
    switch (kind) {
        case PngRaster::Kind::kGreyAlpha: return 2;
        case PngRaster::Kind::kRgb: return 3;
        case PngRaster::Kind::kRgba: return 4;
        default: return 1;
    }
}

// Per-row adaptive filtering tries five filters on every row; fast levels
// take one: palette indices rarely gain from any, photographs gain most
// from Sub for the least work.
void set_compression(png_structp png, const PngRaster& raster, int level) {
    png_set_compression_level(png, level);
    if (level <= 3) {
        png_set_filter(png, PNG_FILTER_TYPE_BASE,
                       raster.kind == PngRaster::Kind::kPalette ? PNG_FILTER_NONE : PNG_FILTER_SUB);
    }
    png_set_compression_buffer_size(png, 1 << 20);
}

// Everything libpng touches between setjmp and longjmp lives in the caller.
bool encode_png(std::FILE* file, const PngRaster& raster, int level, std::vector<uint8_t>& row, std::string* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, report_png_error, ignore_png_warning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    set_compression(png, raster, level);
    png_set_IHDR(png, info, raster.width, raster.height, raster.bit_depth, png_color_type(raster.kind),
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (raster.kind == PngRaster::Kind::kPalette) {
        std::vector<png_color> colors(raster.palette_rgb.size() / 3);
        std::memcpy(colors.data(), raster.palette_rgb.data(), colors.size() * 3);
        png_set_PLTE(png, info, colors.data(), static_cast<int>(colors.size()));
        if (!raster.palette_alpha.empty()) {
            png_set_tRNS(png, info, raster.palette_alpha.data(), static_cast<int>(raster.palette_alpha.size()),
                         nullptr);
        }
    }
    if (raster.significant_bits != 0 && raster.kind != PngRaster::Kind::kPalette) {
        png_color_8 bits;
        const auto n = static_cast<png_byte>(raster.significant_bits);
        bits.red = bits.green = bits.blue = bits.gray = bits.alpha = n;
        png_set_sBIT(png, info, &bits);
    }
    png_write_info(png, info);
    const size_t bytes_per_sample = raster.bit_depth == 16 ? 2 : 1;
    const size_t row_bytes = size_t{raster.width} * channels_of(raster.kind) * bytes_per_sample;
    row.resize(row_bytes);
    for (uint32_t y = 0; y < raster.height; ++y) {
        const uint8_t* source = raster.sample_bytes().data() + y * row_bytes;
        if (bytes_per_sample == 1) {  // libpng copies the row it is given
            png_write_row(png, source);
            continue;
        }
        for (size_t i = 0; i + 1 < row_bytes; i += 2) {  // PNG words are big-endian
            row[i] = source[i + 1];
            row[i + 1] = source[i];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void report_png_error(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error != nullptr) *error = std::string("PNG: ") + message;
    png_longjmp(png, 1);
}

void ignore_png_warning(png_structp, png_const_charp) {}

int png_level(const ParsedArgs& args) {
    uint64_t value = kDefaultPngLevel;
    if (args.has("--png-level") && (!parse_number(args.value("--png-level"), &value) || value > 9)) return -1;
    return static_cast<int>(value);
}

bool write_png(const std::string& path, const PngRaster& raster, int level, std::string* error) {
    const size_t bytes_per_sample = raster.bit_depth == 16 ? 2 : 1;
    if (raster.width == 0 || raster.height == 0) {
        if (error != nullptr) *error = "PNG cannot hold an empty image";
        return false;
    }
    if (raster.sample_bytes().size() < size_t{raster.width} * raster.height * channels_of(raster.kind) * bytes_per_sample) {
        if (error != nullptr) *error = "internal error: raster shorter than its geometry";
        return false;
    }
    OutputFile out(path);
    if (!out.ok()) {
        if (error != nullptr) *error = out.error();
        return false;
    }
    std::vector<uint8_t> row;
    std::string png_error = "PNG encoding failed";
    if (!encode_png(out.file(), raster, level, row, &png_error)) {
        if (error != nullptr) *error = png_error;
        return false;
    }
    if (!out.commit()) {
        if (error != nullptr) *error = out.error();
        return false;
    }
    return true;
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
    if (image.channels != channels_of(raster->kind) || image.bits_per_channel > 16) {
        if (error != nullptr) *error = "PNG cannot hold this image's sample layout; write .bin instead";
        return false;
    }
    raster->bit_depth = image.bits_per_channel <= 8 ? 8 : 16;
    raster->image_rows = &image.pixels;
    return true;
}

}  // namespace kvtool
