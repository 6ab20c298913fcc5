// The TIFF half of decode and info: the host's TIFF reader (libtiff for the
// container, the component's strip service for the LZW data).
//
// PNG output: grey, grey+alpha, RGB, RGBA and palette images keep their
// samples (8 or 16 bits). Two colour spaces PNG cannot hold are converted:
//   - CMYK (and CMYK with extra inks or samples): naive ink subtraction,
//     R = (max - C) * (max - K) / max, likewise G from M and B from Y, at the
//     image's own depth; inks and samples after the fourth are dropped.
//   - CIELab: L* a* b* (D65 white) to 8-bit sRGB.
// .bin output is always the rows exactly as the service delivered them.
#include "decoders.h"
#include "image_output.h"

#include "kvhost/errors.h"
#include "kvhost/image.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kvtool {
namespace {

bool directory_of(const ParsedArgs& args, uint32_t* directory) {
    uint64_t value = 0;
    if (args.has("--directory") && (!parse_number(args.value("--directory"), &value) || value > 65535)) return false;
    *directory = static_cast<uint32_t>(value);
    return true;
}

uint32_t sample(const kvhost::LoadedImage& image, const uint8_t* row, size_t index) {
    if (image.bits_per_channel <= 8) return row[index];
    return static_cast<uint32_t>(row[2 * index] | row[2 * index + 1] << 8);
}

void put(std::vector<uint8_t>& out, uint32_t value, bool wide) {
    out.push_back(static_cast<uint8_t>(value));
    if (wide) out.push_back(static_cast<uint8_t>(value >> 8));
}

void cmyk_to_rgb(const kvhost::LoadedImage& image, PngRaster* raster) {
    const bool wide = image.bits_per_channel > 8;
    const uint32_t max = wide ? 65535 : 255;
    raster->kind = PngRaster::Kind::kRgb;
    raster->bit_depth = wide ? 16 : 8;
    raster->samples.clear();
    raster->samples.reserve(size_t{image.width} * image.height * 3 * (wide ? 2 : 1));
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        for (uint32_t x = 0; x < image.width; ++x) {
            const size_t p = size_t{x} * image.channels;
            const uint64_t k = max - sample(image, row, p + 3);
            for (int c = 0; c < 3; ++c) put(raster->samples, static_cast<uint32_t>((max - sample(image, row, p + c)) * k / max), wide);
        }
    }
}

uint8_t srgb_byte(double linear) {
    linear = std::clamp(linear, 0.0, 1.0);
    const double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(v * 255.0));
}

void lab_to_rgb(const kvhost::LoadedImage& image, PngRaster* raster) {
    const bool wide = image.bits_per_channel > 8;
    raster->kind = PngRaster::Kind::kRgb;
    raster->bit_depth = 8;
    raster->samples.clear();
    raster->samples.reserve(size_t{image.width} * image.height * 3);
    auto f_inv = [](double t) { return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0); };
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        for (uint32_t x = 0; x < image.width; ++x) {
            const size_t p = size_t{x} * image.channels;
            // The host keeps a* and b* offset by half their range.
            const double l = sample(image, row, p) * 100.0 / (wide ? 65535.0 : 255.0);
            const double a = (static_cast<double>(sample(image, row, p + 1)) - (wide ? 32768.0 : 128.0)) / (wide ? 256.0 : 1.0);
            const double b = (static_cast<double>(sample(image, row, p + 2)) - (wide ? 32768.0 : 128.0)) / (wide ? 256.0 : 1.0);
            const double fy = (l + 16.0) / 116.0;
            const double X = 0.95047 * f_inv(fy + a / 500.0);
            const double Y = f_inv(fy);
            const double Z = 1.08883 * f_inv(fy - b / 200.0);
            raster->samples.push_back(srgb_byte(3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z));
            raster->samples.push_back(srgb_byte(-0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z));
            raster->samples.push_back(srgb_byte(0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z));
        }
    }
}

bool write_image(const kvhost::LoadedImage& image, const std::string& out, std::string* error) {
    if (output_kind(out) == OutputKind::kBin) return write_whole_file(out, image.pixels, error);
    PngRaster raster;
    raster.width = image.width;
    raster.height = image.height;
    if (image.colorspace == kvhost::colorspace::kCmyk && image.channels >= 4 && image.bits_per_channel <= 16) {
        cmyk_to_rgb(image, &raster);
    } else if (image.colorspace == kvhost::colorspace::kLab && image.channels == 3 && image.bits_per_channel <= 16) {
        lab_to_rgb(image, &raster);
    } else if (!raster_from_image(image, &raster, error)) {
        return false;
    }
    return write_png(out, raster, error);
}

const char* colorspace_name(uint32_t colorspace) {
    switch (colorspace) {
        case kvhost::colorspace::kGrey: return "grey";
        case kvhost::colorspace::kRgb: return "RGB";
        case kvhost::colorspace::kPalette: return "palette";
        case kvhost::colorspace::kRgba: return "RGBA";
        case kvhost::colorspace::kGreyAlpha: return "grey+alpha";
        case kvhost::colorspace::kCmyk: return "CMYK";
        case kvhost::colorspace::kLab: return "CIELab";
        default: return "unknown";
    }
}

template <typename T>
std::string join(const std::vector<T>& values, size_t limit, const char* separator) {
    std::string text;
    for (size_t i = 0; i < values.size() && i < limit; ++i) {
        if (i != 0) text += separator;
        text += std::to_string(values[i]);
    }
    if (values.size() > limit) text += std::string(separator) + "...";
    return text;
}

}  // namespace

int decode_tiff(const ParsedArgs& args, const Input& input) {
    const std::string out = args.value("-o");
    if (out.empty()) return usage_error("decode", "needs -o OUT.png or -o OUT.bin");
    if (output_kind(out) == OutputKind::kUnknown) return usage_error("decode", "OUT must end in .png or .bin");
    uint32_t directory = 0;
    if (!directory_of(args, &directory)) return usage_error("decode", "--directory needs a number from 0 to 65535");
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    auto stream = input.stream();
    if (stream == nullptr) return kExitFailure;
    kvhost::clear_errors();
    kvhost::TiffImage described;
    if (kvhost::tiff_describe(stream.get(), directory, &described) == 0 &&
        !pixels_allowed(input.name(), described.width, described.height))
        return kExitFailure;
    const HostStatus status = kvhost::tiff_load(stream.get(), directory);
    if (status != 0 || stream->sink.image == nullptr) {
        complain(input.name() + ": cannot decode TIFF image " + std::to_string(directory));
        report_host_errors();
        return kExitFailure;
    }
    std::string error;
    if (!write_image(*stream->sink.image, out, &error)) {
        complain(error);
        return kExitFailure;
    }
    return kExitOk;
}

int info_tiff(const ParsedArgs& args, const Input& input) {
    uint32_t directory = 0;
    if (!directory_of(args, &directory)) return usage_error("info", "--directory needs a number from 0 to 65535");
    auto stream = input.stream();
    if (stream == nullptr) return kExitFailure;
    kvhost::clear_errors();
    kvhost::TiffImage t;
    if (kvhost::tiff_describe(stream.get(), directory, &t) != 0) {
        complain(input.name() + ": cannot describe TIFF image " + std::to_string(directory));
        report_host_errors();
        return kExitFailure;
    }
    const std::string bits = join(t.bits_per_sample, 16, ", ");
    const std::string offsets = join(t.strip_offsets, args.has("--json") ? SIZE_MAX : 8, ", ");
    const std::string counts = join(t.strip_byte_counts, args.has("--json") ? SIZE_MAX : 8, ", ");
    char coefficients[128] = "";
    if (t.has_coefficients) {
        std::snprintf(coefficients, sizeof coefficients, "%u/%u, %u/%u, %u/%u", t.coefficients[0], t.coefficients[1],
                      t.coefficients[2], t.coefficients[3], t.coefficients[4], t.coefficients[5]);
    }
    if (args.has("--json")) {
        std::printf("{\"directory\": %u, \"width\": %u, \"height\": %u, \"byte_order\": %s, \"compression\": %u, "
                    "\"planar_config\": %d, \"photometric\": %d, \"fill_order\": %u, \"predictor\": %d, "
                    "\"bits_per_sample\": [%s], \"samples_per_pixel\": %d, \"extra_samples\": %u, "
                    "\"rows_per_strip\": %d, \"strip_count\": %d, \"strips_per_plane\": %d, "
                    "\"strip_offsets\": [%s], \"strip_byte_counts\": [%s], \"ycbcr_subsampling\": [%u, %u], "
                    "\"ycbcr_coefficients\": %s, \"host_image\": {\"colorspace\": %s, \"channels\": %u, "
                    "\"bits_per_channel\": %u}}\n",
                    t.directory, t.width, t.height, t.byte_order == 1 ? "\"big-endian\"" : "\"little-endian\"",
                    t.compression, t.planar_config, t.photometric, t.fill_order, t.predictor, bits.c_str(),
                    t.samples_per_pixel, t.extra_samples, t.rows_per_strip, t.strip_count, t.strips_per_plane,
                    offsets.c_str(), counts.c_str(), t.subsampling[0], t.subsampling[1],
                    t.has_coefficients ? json_string(coefficients).c_str() : "null",
                    json_string(colorspace_name(t.colorspace)).c_str(), t.channels, t.bits_per_channel);
        return kExitOk;
    }
    std::printf("directory %u: %u x %u, %s file, LZW\n", t.directory, t.width, t.height,
                t.byte_order == 1 ? "big-endian" : "little-endian");
    std::printf("planar_config     %d\nphotometric       %d\nfill_order        %u\npredictor         %d\n",
                t.planar_config, t.photometric, t.fill_order, t.predictor);
    std::printf("bits_per_sample   %s\nsamples_per_pixel %d\nextra_samples     %u\n", bits.c_str(),
                t.samples_per_pixel, t.extra_samples);
    std::printf("rows_per_strip    %d\nstrip_count       %d\nstrips_per_plane  %d\n", t.rows_per_strip, t.strip_count,
                t.strips_per_plane);
    std::printf("strip_offsets     %s\nstrip_byte_counts %s\n", offsets.c_str(), counts.c_str());
    if (t.photometric == 6) {
        std::printf("ycbcr_subsampling %u, %u\nycbcr_coefficients %s\n", t.subsampling[0], t.subsampling[1],
                    t.has_coefficients ? coefficients : "(default)");
    }
    std::printf("host image        %s, %u channel%s of %u bits\n", colorspace_name(t.colorspace), t.channels,
                t.channels == 1 ? "" : "s", t.bits_per_channel);
    return kExitOk;
}

}  // namespace kvtool
