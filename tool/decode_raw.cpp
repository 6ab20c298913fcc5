// The raw LZW half of decode: a headerless LZW raster whose geometry the
// options give, loaded through the raw filter and written as grey PNG or as
// the rows delivered to the host.
#include "decoders.h"
#include "image_output.h"
#include "kvhost/errors.h"
#include "kvhost/lzw.h"
#include "kvhost/stream.h"

#include <cstring>

namespace kvtool {

namespace {

bool number_option(const ParsedArgs& args, const char* name, bool required, uint64_t fallback, uint64_t* value,
                   int* exit_code) {
    if (!args.has(name)) {
        if (required) {
            *exit_code = usage_error("decode", std::string("--raw needs ") + name);
            return false;
        }
        *value = fallback;
        return true;
    }
    if (!parse_number(args.value(name), value)) {
        *exit_code = usage_error("decode", std::string(name) + " takes a whole number");
        return false;
    }
    return true;
}

// RGB or RGBA PNG of a 24-, 32-, 48- or 64-bit raster: its samples in the
// order of the data, 8 or 16 bits each.
PngRaster colour_raster(const kvhost::LoadedImage& image, uint32_t bpp) {
    PngRaster raster;
    const bool alpha = bpp == 32 || bpp == 64;
    raster.kind = alpha ? PngRaster::Kind::kRgba : PngRaster::Kind::kRgb;
    raster.width = image.width;
    raster.height = image.height;
    raster.bit_depth = bpp / (alpha ? 4 : 3);
    const size_t row = size_t{image.width} * bpp / 8;
    raster.samples.resize(row * image.height);
    for (uint32_t y = 0; y < image.height; ++y) std::memcpy(raster.samples.data() + y * row, image.row(y), row);
    return raster;
}

// Grey PNG of the loaded raster: palette images through their grey palette
// at 8 bits, 9- to 16-bit samples scaled to the full 16-bit range.
PngRaster grey_raster(const kvhost::LoadedImage& image) {
    PngRaster raster;
    raster.kind = PngRaster::Kind::kGrey;
    raster.width = image.width;
    raster.height = image.height;
    if (image.bits_per_channel <= 8) {
        raster.bit_depth = 8;
        raster.samples = palette_indices(image);
        for (uint8_t& s : raster.samples) {
            const size_t entry = size_t{s} * 4;
            s = entry + 2 < image.palette.size() ? image.palette[entry + 2] : s;
        }
        return raster;
    }
    raster.bit_depth = 16;
    raster.samples.resize(size_t{image.width} * image.height * 2);
    for (uint32_t y = 0; y < image.height; ++y) {
        std::memcpy(raster.samples.data() + size_t{y} * image.width * 2, image.row(y), size_t{image.width} * 2);
    }
    if (image.bits_per_channel < 16) {
        scale_to_sixteen_bits(raster.samples, image.bits_per_channel);
        raster.significant_bits = image.bits_per_channel;
    }
    return raster;
}

// The decoder stops when the raster is full; a stream read to its very end
// ran out first (or ended exactly with the last row, which a stream without
// its end code cannot tell apart). The missing rows came out zero.
void warn_if_data_ran_out(const HostStream& stream, const kvhost::LoadedImage& image, const std::string& name) {
    if (stream.position < stream.backend->size()) return;
    complain("warning: " + name + ": the LZW data ran out before all " + std::to_string(image.height) +
             " declared rows were decoded; the rows after it are zero");
}

}  // namespace

int decode_raw(const ParsedArgs& args, const Input& input) {
    int exit_code = kExitUsage;
    uint64_t width = 0, height = 0, bpp = 0, fill_order = 0, align = 1;
    if (!number_option(args, "--width", true, 0, &width, &exit_code) ||
        !number_option(args, "--height", true, 0, &height, &exit_code) ||
        !number_option(args, "--bpp", true, 0, &bpp, &exit_code) ||
        !number_option(args, "--fill-order", false, 0, &fill_order, &exit_code) ||
        !number_option(args, "--align", false, 1, &align, &exit_code))
        return exit_code;
    if (!args.has("-o")) return usage_error("decode", "needs -o OUT.png or -o OUT.bin");
    const std::string out_path = args.value("-o");
    const OutputKind kind = output_kind(out_path);
    if (kind == OutputKind::kUnknown) return usage_error("decode", "-o must end in .png or .bin");
    if ((bpp < 1 || bpp > 16) && bpp != 24 && bpp != 32 && bpp != 48 && bpp != 64) {
        return usage_error("decode", "--bpp must be 1 to 16, 24, 32, 48 or 64");
    }
    if (fill_order > UINT32_MAX || align > UINT32_MAX) return usage_error("decode", "--fill-order or --align too large");
    if (width == 0 || height == 0) return usage_error("decode", "--width and --height must be at least 1");
    if (!pixels_allowed(input.name(), width, height)) return kExitFailure;

    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    std::string error;
    auto stream = input.stream();
    if (stream == nullptr) return kExitFailure;
    kvhost::lzw::RawGeometry geometry;
    geometry.width = width;
    geometry.height = height;
    geometry.bits_per_pixel = static_cast<uint32_t>(bpp);
    geometry.fill_order = static_cast<uint32_t>(fill_order);
    geometry.alignment = static_cast<uint32_t>(align);
    std::unique_ptr<kvhost::LoadedImage> image;
    if (kvhost::lzw::load_raw(stream.get(), geometry, &image) != 0 || image == nullptr) {
        report_host_errors();
        complain("cannot load " + input.name() + " as a raw LZW raster");
        return kExitFailure;
    }
    warn_if_data_ran_out(*stream, *image, input.name());
    const bool ok = kind == OutputKind::kBin ? write_whole_file(out_path, image->pixels, &error)
                                             : write_png(out_path,
                                                         bpp > 16 ? colour_raster(*image, static_cast<uint32_t>(bpp))
                                                                  : grey_raster(*image),
                                                         png_level(args), &error);
    if (!ok) {
        complain(error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace kvtool
