#include "png_input.h"

#include "kvhost/huge_pages.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace kvtool {
namespace {

// A GIF's screen and image sizes are 16-bit fields.
constexpr uint32_t kLargestSide = 65535;
constexpr size_t kReservedBytes = size_t{64} << 20;

// Asks libpng for one byte per palette index, or for 8-bit RGBA.
void request_layout(png_structp png, png_infop info, PngRaster* raster) {
    const int color_type = png_get_color_type(png, info);
    if (color_type == PNG_COLOR_TYPE_PALETTE) {
        raster->kind = PngRaster::Kind::kPalette;
        png_set_packing(png);
    } else {
        raster->kind = PngRaster::Kind::kRgba;
        png_set_expand(png);
        png_set_scale_16(png);
        png_set_gray_to_rgb(png);
        if ((color_type & PNG_COLOR_MASK_ALPHA) == 0 && !png_get_valid(png, info, PNG_INFO_tRNS))
            png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
}

void keep_palette(png_structp png, png_infop info, PngRaster* raster) {
    png_colorp colours = nullptr;
    int entries = 0;
    if (png_get_PLTE(png, info, &colours, &entries) != 0) {
        raster->palette_rgb.resize(size_t(entries) * 3);
        std::memcpy(raster->palette_rgb.data(), colours, raster->palette_rgb.size());
    }
    png_bytep alphas = nullptr;
    int alpha_count = 0;
    if (png_get_tRNS(png, info, &alphas, &alpha_count, nullptr) != 0 && alphas != nullptr)
        raster->palette_alpha.assign(alphas, alphas + alpha_count);
}

// The bytes libpng reads, front to back.
struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t at;
};

void read_from_cursor(png_structp png, png_bytep out, png_size_t count) {
    Cursor* cursor = static_cast<Cursor*>(png_get_io_ptr(png));
    if (count > cursor->size - cursor->at) png_error(png, "the file ends early");
    std::memcpy(out, cursor->data + cursor->at, count);
    cursor->at += count;
}

// Everything libpng touches between setjmp and longjmp lives in the caller.
bool decode(Cursor* cursor, PngRaster* raster, std::vector<png_bytep>& rows, std::string* error) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, report_png_error, ignore_png_warning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_user_limits(png, kLargestSide, kLargestSide);
    // Every chunk's CRC already guards the compressed bytes; zlib's own
    // checksum of the inflated ones would cost a twentieth of an encode.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_read_fn(png, cursor, read_from_cursor);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    raster->width = png_get_image_width(png, info);
    raster->height = png_get_image_height(png, info);
    raster->bit_depth = 8;
    request_layout(png, info, raster);
    const size_t row_bytes = png_get_rowbytes(png, info);
    const size_t expected = size_t{raster->width} * (raster->kind == PngRaster::Kind::kPalette ? 1 : 4);
    if (row_bytes != expected) png_error(png, "unexpected row layout");
    if (png_get_interlace_type(png, info) == PNG_INTERLACE_NONE) {
        // Rows are stored as they arrive, so a short file costs no more
        // memory than the rows it holds; room for the usual sizes is made
        // at once.
        raster->samples.reserve(std::min(row_bytes * raster->height, kReservedBytes));
        kvhost::advise_huge_pages(raster->samples.data(), raster->samples.capacity());
        for (uint32_t y = 0; y < raster->height; ++y) {
            raster->samples.resize(raster->samples.size() + row_bytes);
            png_read_row(png, raster->samples.data() + raster->samples.size() - row_bytes, nullptr);
        }
    } else {
        raster->samples.resize(row_bytes * raster->height);
        rows.resize(raster->height);
        for (uint32_t y = 0; y < raster->height; ++y) rows[y] = raster->samples.data() + y * row_bytes;
        png_read_image(png, rows.data());
    }
    png_read_end(png, nullptr);
    if (raster->kind == PngRaster::Kind::kPalette) keep_palette(png, info, raster);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

bool read_png(const uint8_t* data, size_t size, const std::string& name, PngRaster* raster, std::string* error) {
    if (size < 8 || png_sig_cmp(data, 0, 8) != 0) {
        *error = name + " is not a PNG file";
        return false;
    }
    Cursor cursor{data, size, 8};
    *raster = PngRaster{};
    std::vector<png_bytep> rows;
    std::string png_error = "cannot read the PNG";
    const bool read = decode(&cursor, raster, rows, &png_error);
    if (!read) *error = name + ": " + png_error;
    return read;
}

}  // namespace kvtool
