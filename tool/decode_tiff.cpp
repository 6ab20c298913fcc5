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
#include <memory>
#include <thread>

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

// A palette index with one extra sample: colours from the palette, the
// extra sample as alpha when it says it is one, otherwise dropped.
void palette_with_extra_to_rgb(const kvhost::LoadedImage& image, bool alpha, PngRaster* raster) {
    raster->kind = alpha ? PngRaster::Kind::kRgba : PngRaster::Kind::kRgb;
    raster->bit_depth = 8;
    raster->samples.clear();
    raster->samples.reserve(size_t{image.width} * image.height * (alpha ? 4 : 3));
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        for (uint32_t x = 0; x < image.width; ++x) {
            const size_t entry = size_t{row[2 * size_t{x}]} * 4;
            // The palette holds blue, green, red, 0.
            for (int c = 2; c >= 0; --c) {
                raster->samples.push_back(entry + 3 < image.palette.size() ? image.palette[entry + c] : 0);
            }
            if (alpha) raster->samples.push_back(row[2 * size_t{x} + 1]);
        }
    }
}

// PNG alpha is straight: colour samples premultiplied by alpha are divided
// by it again (rounded, capped at the maximum; zero alpha leaves zero).
void unpremultiply(PngRaster* raster) {
    const uint32_t channels = raster->kind == PngRaster::Kind::kRgba        ? 4
                              : raster->kind == PngRaster::Kind::kGreyAlpha ? 2
                                                                            : 0;
    if (channels == 0) return;
    std::vector<uint8_t>& samples = raster->own_samples();
    const bool wide = raster->bit_depth == 16;
    const uint32_t max = wide ? 65535 : 255;
    const size_t bytes = wide ? 2 : 1, pixel = channels * bytes;
    auto get = [&](const uint8_t* p) { return wide ? uint32_t{p[0]} | uint32_t{p[1]} << 8 : uint32_t{p[0]}; };
    for (size_t i = 0; i + pixel <= samples.size(); i += pixel) {
        uint8_t* p = samples.data() + i;
        const uint32_t a = get(p + (channels - 1) * bytes);
        for (uint32_t c = 0; c + 1 < channels; ++c) {
            uint8_t* s = p + c * bytes;
            const uint32_t v = a == 0 ? 0 : std::min<uint32_t>(max, (get(s) * max + a / 2) / a);
            s[0] = static_cast<uint8_t>(v);
            if (wide) s[1] = static_cast<uint8_t>(v >> 8);
        }
    }
}

bool write_image(const kvhost::LoadedImage& delivered, const kvhost::TiffImage& t, const std::string& out,
                 int png_level, std::string* error) {
    if (output_kind(out) == OutputKind::kBin) return write_whole_file(out, delivered.pixels, error);
    PngRaster raster;
    raster.width = delivered.width;
    raster.height = delivered.height;
    const bool alpha = t.extra_kind == kvhost::extra_sample::kAssociatedAlpha ||
                       t.extra_kind == kvhost::extra_sample::kUnassociatedAlpha;
    if (delivered.colorspace == kvhost::colorspace::kPalette && delivered.channels == 2) {
        palette_with_extra_to_rgb(delivered, alpha, &raster);
        if (t.extra_kind == kvhost::extra_sample::kAssociatedAlpha) unpremultiply(&raster);
        return write_png(out, raster, png_level, error);
    }
    // Samples of 9 to 15 bits sit in 16-bit words: scaled to the full range
    // before anything else reads them, with their depth kept in sBIT.
    const uint32_t bits = t.bits_per_sample.empty() ? 0 : static_cast<uint32_t>(t.bits_per_sample[0]);
    const bool scaled = delivered.bits_per_channel == 16 && bits > 8 && bits < 16;
    kvhost::LoadedImage copy;
    if (scaled) {
        copy = delivered;
        scale_to_sixteen_bits(copy.pixels, bits);
    }
    const kvhost::LoadedImage& image = scaled ? copy : delivered;
    if (image.colorspace == kvhost::colorspace::kCmyk && image.channels >= 4 && image.bits_per_channel <= 16) {
        cmyk_to_rgb(image, &raster);
    } else if (image.colorspace == kvhost::colorspace::kLab && image.channels == 3 && image.bits_per_channel <= 16) {
        lab_to_rgb(image, &raster);
    } else if (!raster_from_image(image, &raster, error)) {
        return false;
    } else {
        if (scaled) raster.significant_bits = bits;
        if (t.extra_kind == kvhost::extra_sample::kAssociatedAlpha) unpremultiply(&raster);
    }
    return write_png(out, raster, png_level, error);
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

// The rows of a .bin file written as the strip service delivers them
// (a row never delivered is zero, as in a held image): no image of the
// whole size is allocated, faulted in, zeroed, copied into and written out.
class RowFile {
public:
    explicit RowFile(const std::string& path) : out_(path) {}
    bool ok() const { return out_.ok(); }
    const std::string& error() const { return error_.empty() ? out_.error() : error_; }

    HostStatus take(const kvhost::LoadedImage& image, int64_t row, const uint8_t* bytes, uint64_t count) {
        if (!fine_) return 0;
        if (row < next_) {
            fine_ = false;
            error_ = "rows delivered out of order";
            return 0;
        }
        zero_rows_until(image, row);
        const uint64_t n = std::min<uint64_t>(count, image.row_size);
        fine_ = fine_ && out_.write(bytes, n) && zeros(image.row_size - n);
        ++next_;
        return 0;
    }
    // The rows not delivered, then the file in place.
    bool commit(const kvhost::LoadedImage& image) {
        zero_rows_until(image, image.height);
        return fine_ && out_.commit();
    }

private:
    void zero_rows_until(const kvhost::LoadedImage& image, int64_t row) {
        for (; next_ < row && fine_; ++next_) fine_ = zeros(image.row_size);
    }
    bool zeros(uint64_t n) {
        if (zero_.size() < n) zero_.resize(n);
        return out_.write(zero_.data(), n);
    }

    OutputFile out_;
    int64_t next_ = 0;
    bool fine_ = true;
    std::string error_;
    std::vector<uint8_t> zero_;
};

// Each kind of damage once, with the strips it hit (the first few named):
// a damaged file can have thousands of strips damaged alike.
void print_damage(const std::vector<kvhost::StripDamage>& damage, const char* prefix, const std::string& name) {
    constexpr size_t kNamed = 8;
    std::vector<std::pair<std::string, std::vector<uint32_t>>> kinds;
    for (const kvhost::StripDamage& d : damage) {
        auto seen = std::find_if(kinds.begin(), kinds.end(), [&](const auto& k) { return k.first == d.text; });
        if (seen == kinds.end()) seen = kinds.insert(kinds.end(), {d.text, {}});
        seen->second.push_back(d.strip);
    }
    for (const auto& [text, strips] : kinds) {
        std::string which = strips.size() == 1 ? "strip " : "strips ";
        for (size_t i = 0; i < std::min(strips.size(), kNamed); ++i) which += (i ? ", " : "") + std::to_string(strips[i]);
        if (strips.size() > kNamed) which += " and " + std::to_string(strips.size() - kNamed) + " more";
        std::fprintf(stderr, "kvlzw: %s%s: %s: %s\n", prefix, name.c_str(), which.c_str(), text.c_str());
    }
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
    auto stream = input.shared_stream();
    if (stream == nullptr) return kExitFailure;
    kvhost::clear_errors();
    kvhost::TiffImage t;
    const bool described = kvhost::tiff_describe(stream.get(), directory, &t) == 0;
    // The load meets what the description met again, and says so itself.
    if (!described) kvhost::clear_errors();
    if (described && !pixels_allowed(input.name(), t.width, t.height)) return kExitFailure;
    // Damaged strips decode quietly to zero rows; a check of their codes
    // says which, and why. Its look at the codes runs on a stream of its
    // own while the strip service decodes them; what it cannot clear with
    // that and with where the decoder stopped in each strip is walked after.
    kvhost::StripScan scan;
    std::vector<kvhost::ReadSpan> strip_reads;
    std::thread scanning;
    std::unique_ptr<HostStream> check_stream = described ? input.shared_stream() : nullptr;
    if (check_stream != nullptr) {
        scanning = std::thread([&scan, &check_stream, image = t] {
            scan = kvhost::tiff_strip_scan(check_stream.get(), image);
        });
    }
    // A .bin file takes the rows as they come; standard output waits for
    // --strict's verdict.
    std::unique_ptr<RowFile> rows;
    if (output_kind(out) == OutputKind::kBin && out != "-") {
        rows = std::make_unique<RowFile>(out);
        if (!rows->ok()) {
            if (scanning.joinable()) scanning.join();
            complain(rows->error());
            return kExitFailure;
        }
        stream->sink.row_consumer = [&rows, &stream](int64_t row, const uint8_t* bytes, uint64_t count) {
            return rows->take(*stream->sink.image, row, bytes, count);
        };
    }
    const HostStatus status = kvhost::tiff_load(stream.get(), directory, &t, &strip_reads);
    if (scanning.joinable()) scanning.join();
    if (status != 0 || stream->sink.image == nullptr) {
        complain(input.name() + ": cannot decode TIFF image " + std::to_string(directory));
        report_host_errors();
        return kExitFailure;
    }
    const std::vector<kvhost::StripDamage> damage =
        check_stream != nullptr ? kvhost::tiff_strip_damage(check_stream.get(), t, &scan, &strip_reads)
                                : kvhost::tiff_strip_damage(stream.get(), t);
    // With --strict a file with damaged strips is refused and nothing is
    // written.
    const bool strict = args.has("--strict");
    print_damage(damage, strict ? "" : "warning: ", input.name());
    if (strict && !damage.empty()) {
        complain(args.positional[0] + ": damaged strips; nothing written (--strict)");
        return kExitFailure;
    }
    if (rows != nullptr) {
        if (rows->commit(*stream->sink.image)) return kExitOk;
        complain(rows->error());
        return kExitFailure;
    }
    std::string error;
    if (!write_image(*stream->sink.image, t, out, png_level(args), &error)) {
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
