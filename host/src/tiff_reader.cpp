// The host's TIFF reader: libtiff for the container only, the component's
// strip service for the LZW data, and _TIF_tag_val_return for the tags the
// service asks back.
#include "kvhost/tiff.h"

#include "kvhost/errors.h"
#include "kvhost/image.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/shared_library.h"
#include "kvhost/stream.h"
#include "api_guard.h"
#include "service_impl.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstring>

namespace kvhost {
namespace {

constexpr const char* kModule = KVHOST_MODULE("tiff_reader");

// libtiff is loaded the first time a TIFF is opened, not when a program
// starts: with its codec libraries it costs every start-up over a
// millisecond, and most runs read no TIFF.
#define LIBTIFF_FUNCTIONS(F) \
    F(TIFF, OpenOptionsAlloc) F(TIFF, OpenOptionsSetErrorHandlerExtR) \
    F(TIFF, OpenOptionsSetWarningHandlerExtR) F(TIFF, ClientOpenExt) F(TIFF, OpenOptionsFree) \
    F(TIFF, Close) F(TIFF, GetField) F(TIFF, GetFieldDefaulted) F(TIFF, SetDirectory) F(TIFF, IsBigTIFF) \
    F(TIFF, IsBigEndian) F(TIFF, IsTiled) F(TIFF, NumberOfStrips) F(TIFF, CurrentDirOffset)
struct Libtiff {
    LIBTIFF_FUNCTIONS(KVHOST_LAZY_MEMBER)
};
constexpr const char* kLibtiffNames[] = {LIBTIFF_FUNCTIONS(KVHOST_LAZY_NAME)};

// The loaded library, or nullptr with the loader's reason in *why.
const Libtiff* load_libtiff(std::string* why) { return load_table_once<Libtiff>(KVHOST_LIBTIFF, kLibtiffNames, why); }

// The library, once a TiffFile has loaded it.
const Libtiff& tiff() { return *load_libtiff(nullptr); }

// libtiff reads the stream's bytes without moving the stream itself.
struct Client {
    HostStream* stream = nullptr;
    int64_t position = 0;
    std::string message;  // libtiff's last error
};

tmsize_t client_read(thandle_t handle, void* buffer, tmsize_t size) {
    auto* c = static_cast<Client*>(handle);
    if (size <= 0) return 0;
    const uint64_t n = c->stream->backend->read(c->position, buffer, static_cast<uint64_t>(size));
    c->position += static_cast<int64_t>(n);
    return static_cast<tmsize_t>(n);
}

tmsize_t client_write(thandle_t, void*, tmsize_t) { return -1; }

toff_t client_seek(thandle_t handle, toff_t offset, int whence) {
    auto* c = static_cast<Client*>(handle);
    int64_t base = 0;
    if (whence == SEEK_CUR) base = c->position;
    if (whence == SEEK_END) base = c->stream->backend->size();
    const int64_t target = base + static_cast<int64_t>(offset);
    if (target < 0) return static_cast<toff_t>(-1);
    c->position = target;
    return static_cast<toff_t>(target);
}

int client_close(thandle_t) { return 0; }
toff_t client_size(thandle_t handle) { return static_cast<toff_t>(static_cast<Client*>(handle)->stream->backend->size()); }
int client_map(thandle_t, void**, toff_t*) { return 0; }
void client_unmap(thandle_t, void*, toff_t) {}

int keep_error(TIFF*, void* user, const char*, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (user != nullptr) static_cast<Client*>(user)->message = text;
    return 1;
}

int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

HostStatus unsupported(int32_t line, const std::string& text) {
    return record_host_error(kModule, line, host_error::kTiffUnsupported, "TIFF: " + text);
}

class TiffFile {
public:
    explicit TiffFile(HostStream* stream) {
        client_.stream = stream;
        std::string why;
        const Libtiff* lib = load_libtiff(&why);
        if (lib == nullptr) {
            client_.message = "libtiff could not be loaded (" + why + ")";
            return;
        }
        TIFFOpenOptions* options = lib->OpenOptionsAlloc();
        lib->OpenOptionsSetErrorHandlerExtR(options, keep_error, &client_);
        lib->OpenOptionsSetWarningHandlerExtR(options, drop_warning, &client_);
        tif_ = lib->ClientOpenExt("stream", "rm", &client_, client_read, client_write, client_seek, client_close,
                                  client_size, client_map, client_unmap, options);
        lib->OpenOptionsFree(options);
    }
    ~TiffFile() {
        if (tif_ != nullptr) tiff().Close(tif_);
    }
    TIFF* get() const { return tif_; }
    const std::string& message() const { return client_.message; }
    HostStream* stream() const { return client_.stream; }

private:
    Client client_;
    TIFF* tif_ = nullptr;
};

uint32_t file_u32(const uint8_t* p, bool big) {
    return big ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
               : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

uint16_t file_u16(const uint8_t* p, bool big) {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

// YCbCrCoefficients exactly as the file stores them: libtiff only gives the
// rationals as floats, and the service divides numerator by denominator
// itself. Classic TIFF only; false when the tag is not there.
bool raw_coefficients(HostStream* stream, uint64_t directory_offset, bool big, uint32_t out[6]) {
    StreamBackend& bytes = *stream->backend;
    uint8_t two[2];
    if (bytes.read(static_cast<int64_t>(directory_offset), two, 2) != 2) return false;
    const uint16_t entries = file_u16(two, big);
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t entry[12];
        if (bytes.read(static_cast<int64_t>(directory_offset + 2 + 12 * i), entry, 12) != 12) return false;
        if (file_u16(entry, big) != TIFFTAG_YCBCRCOEFFICIENTS) continue;
        if (file_u16(entry + 2, big) != TIFF_RATIONAL || file_u32(entry + 4, big) != 3) return false;
        uint8_t values[24];
        if (bytes.read(file_u32(entry + 8, big), values, 24) != 24) return false;
        for (int k = 0; k < 6; ++k) out[k] = file_u32(values + 4 * k, big);
        return true;
    }
    return false;
}

// A grey ramp of 2^bits entries, for grey images held as palette indices.
// WhiteIsZero data arrives already inverted by the service: index 0 is black.
std::vector<uint8_t> grey_palette(uint32_t bits) {
    const uint32_t entries = 1u << bits;
    std::vector<uint8_t> palette(size_t{entries} * 4, 0);
    for (uint32_t i = 0; i < entries; ++i) {
        const auto level = static_cast<uint8_t>(i * 255 / (entries - 1));
        palette[i * 4] = palette[i * 4 + 1] = palette[i * 4 + 2] = level;
    }
    return palette;
}

// Chooses the host image for the TIFF's samples; false (with the reason)
// for samples the host cannot hold.
bool choose_host_image(TIFF* tif, TiffImage& t, std::string* why) {
    const uint32_t bits = static_cast<uint32_t>(t.bits_per_sample.empty() ? 0 : t.bits_per_sample[0]);
    const uint32_t spp = static_cast<uint32_t>(t.samples_per_pixel);
    auto wide_ok = [&](void) { return bits == 8 || bits == 12 || bits == 16; };
    const uint32_t bpc = bits <= 8 ? 8 : 16;
    // The host image: its colour space, channels and bits per channel.
    auto host_image = [&](uint32_t space, uint32_t channels, uint32_t bits_per_channel) {
        t.colorspace = space;
        t.channels = channels;
        t.bits_per_channel = bits_per_channel;
        t.depth = bits_per_channel * channels;
        return true;
    };
    switch (t.photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            if (spp == 1 && (bits == 1 || bits == 4)) {
                t.palette = grey_palette(bits);
                return host_image(colorspace::kPalette, 1, bits);
            }
            if ((spp == 1 || spp == 2) && wide_ok()) {
                return host_image(spp == 1 ? colorspace::kGrey : colorspace::kGreyAlpha, spp, bpc);
            }
            break;
        case PHOTOMETRIC_PALETTE:
            // An 8-bit index may carry one extra sample: the host row holds
            // index and extra sample byte by byte, with the palette beside.
            if ((spp == 1 && (bits == 1 || bits == 4 || bits == 8)) ||
                (spp == 2 && bits == 8 && t.extra_samples == 1)) {
                uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
                if (tiff().GetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) {
                    *why = "palette image without a colour map";
                    return false;
                }
                const uint32_t entries = 1u << bits;
                t.palette.assign(size_t{entries} * 4, 0);
                for (uint32_t i = 0; i < entries; ++i) {
                    t.palette[i * 4] = static_cast<uint8_t>(blue[i] >> 8);
                    t.palette[i * 4 + 1] = static_cast<uint8_t>(green[i] >> 8);
                    t.palette[i * 4 + 2] = static_cast<uint8_t>(red[i] >> 8);
                }
                return host_image(colorspace::kPalette, spp, bits);
            }
            if (spp != 1) {
                *why = "palette image with " + std::to_string(spp) + " samples of " + std::to_string(bits) +
                       " bits per pixel (only an 8-bit index with one extra sample)";
                return false;
            }
            break;
        case PHOTOMETRIC_RGB:
            if ((spp == 3 || spp == 4) && wide_ok()) {
                return host_image(spp == 3 ? colorspace::kRgb : colorspace::kRgba, spp, bpc);
            }
            break;
        case PHOTOMETRIC_SEPARATED:
            if (spp >= 4 && spp <= 8 && wide_ok()) {
                return host_image(colorspace::kCmyk, spp, bpc);
            }
            break;
        case PHOTOMETRIC_YCBCR:
            if (spp == 3 && bits == 8) {
                // The service converts YCbCr to RGB.
                return host_image(colorspace::kRgb, 3, 8);
            }
            break;
        case PHOTOMETRIC_CIELAB:
            if (spp == 3 && (bits == 8 || bits == 16)) {
                return host_image(colorspace::kLab, 3, bits);
            }
            break;
        default:
            *why = "photometric interpretation " + std::to_string(t.photometric) + " is not read";
            return false;
    }
    *why = std::to_string(spp) + " samples of " + std::to_string(bits) + " bits with photometric interpretation " +
           std::to_string(t.photometric) + " have no host image";
    return false;
}

HostStatus describe(TiffFile& file, uint32_t directory, TiffImage* out) {
    TIFF* tif = file.get();
    if (tif == nullptr) {
        return unsupported(__LINE__, "not a readable TIFF file" + (file.message().empty() ? "" : ": " + file.message()));
    }
    if (tiff().IsBigTIFF(tif)) return unsupported(__LINE__, "BigTIFF files are not read");
    if (directory != 0 && tiff().SetDirectory(tif, static_cast<tdir_t>(directory)) != 1) {
        return unsupported(__LINE__, "no image file directory " + std::to_string(directory));
    }
    TiffImage t;
    t.directory = directory;
    t.byte_order = tiff().IsBigEndian(tif) ? 1 : 0;
    uint16_t compression = 1;
    tiff().GetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    t.compression = compression;
    if (compression != COMPRESSION_LZW) {
        return unsupported(__LINE__, "compression " + std::to_string(compression) +
                                         " is not LZW; only LZW-compressed images are read");
    }
    if (tiff().IsTiled(tif)) return unsupported(__LINE__, "tiled images are not read, only strips");
    uint32_t width = 0, height = 0;
    tiff().GetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    tiff().GetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) {
        return unsupported(__LINE__, "image of " + std::to_string(width) + " x " + std::to_string(height));
    }
    t.width = width;
    t.height = height;
    uint16_t value16 = 0;
    tiff().GetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &value16);
    t.samples_per_pixel = value16;
    uint16_t bits = 1;
    tiff().GetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    if (t.samples_per_pixel == 0 || bits == 0 || bits > 32) {
        return unsupported(__LINE__, std::to_string(t.samples_per_pixel) + " samples of " + std::to_string(bits) + " bits");
    }
    t.bits_per_sample.assign(t.samples_per_pixel, static_cast<int16_t>(bits));
    uint16_t photometric = 0;
    if (tiff().GetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1) {
        return unsupported(__LINE__, "no photometric interpretation");
    }
    t.photometric = photometric;
    tiff().GetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &value16);
    t.planar_config = value16;
    tiff().GetFieldDefaulted(tif, TIFFTAG_FILLORDER, &value16);
    t.fill_order = value16;
    tiff().GetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &value16);
    t.predictor = value16;
    if (t.predictor == 3) return unsupported(__LINE__, "the floating-point predictor (3) is not undone");
    uint16_t extra_count = 0;
    uint16_t* extra_kinds = nullptr;
    if (tiff().GetField(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_kinds) == 1) {
        t.extra_samples = extra_count;
        if (extra_count > 0 && extra_kinds != nullptr) t.extra_kind = extra_kinds[0];
    }
    uint32_t rows_per_strip = 0;
    tiff().GetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    if (rows_per_strip == 0 || rows_per_strip > height) rows_per_strip = height;
    t.rows_per_strip = static_cast<int32_t>(rows_per_strip);

    const uint32_t strips = tiff().NumberOfStrips(tif);
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    if (tiff().GetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) != 1 || offsets == nullptr) {
        return unsupported(__LINE__, "no strip offsets");
    }
    tiff().GetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts);
    t.strip_offsets.resize(strips);
    t.strip_byte_counts.assign(strips, 0);
    for (uint32_t s = 0; s < strips; ++s) {
        if (offsets[s] > UINT32_MAX) return unsupported(__LINE__, "strip offset beyond 4 GiB");
        t.strip_offsets[s] = static_cast<uint32_t>(offsets[s]);
        if (counts != nullptr) t.strip_byte_counts[s] = static_cast<uint32_t>(counts[s] > UINT32_MAX ? UINT32_MAX : counts[s]);
    }
    t.strips_per_plane = static_cast<int32_t>(t.planar_config == 2 ? strips / t.samples_per_pixel : strips);
    t.strip_count = t.strips_per_plane;

    if (t.photometric == PHOTOMETRIC_YCBCR) {
        uint16_t h = 2, v = 2;
        tiff().GetFieldDefaulted(tif, TIFFTAG_YCBCRSUBSAMPLING, &h, &v);
        t.subsampling[0] = h;
        t.subsampling[1] = v;
        t.has_coefficients =
            raw_coefficients(file.stream(), tiff().CurrentDirOffset(tif), t.byte_order == 1, t.coefficients);
    }
    std::string why;
    if (!choose_host_image(tif, t, &why)) return unsupported(__LINE__, why);
    *out = std::move(t);
    return 0;
}

}  // namespace

HostDibInfo* tiff_dib_info(const TiffImage& t) {
    auto* dib = new HostDibInfo;
    dib->width = t.width;
    dib->height = t.height;
    dib->depth = t.depth;
    dib->colorspace = t.colorspace;
    dib->channels = t.channels;
    dib->bits_per_channel = t.bits_per_channel;
    // The TIFF's own depths: the service unpacks by them.
    dib->channel_depths.assign(t.bits_per_sample.begin(), t.bits_per_sample.end());
    if (dib->channel_depths.size() < t.channels) dib->channel_depths.resize(t.channels, t.bits_per_channel);
    dib->palette = t.palette;
    dib->palette_allocated = !t.palette.empty();
    return dib;
}

HostStatus tiff_describe(HostStream* stream, uint32_t directory, TiffImage* image) {
    if (stream == nullptr || stream->backend == nullptr || image == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument, "tiff_describe without a stream");
    }
    return guarded(kModule, __LINE__, [&] {
        TiffFile file(stream);
        return describe(file, directory, image);
    });
}

namespace {

HostStatus load(HostStream* stream, uint32_t directory, TiffImage* described, std::vector<ReadSpan>* strip_reads) {
    TiffImage t;
    if (HostStatus status = tiff_describe(stream, directory, &t); status != 0) return status;
    auto service = reinterpret_cast<TifProcLzwCompFn>(named_service("TIF_Proc_LZW_Comp"));
    if (service == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kUnknownService,
                                 "no \"TIF_Proc_LZW_Comp\" service: the component is not attached");
    }
    const HostServiceTable& host = service_table();
    const std::unique_ptr<HostDibInfo> owned(tiff_dib_info(t));
    HostDibInfo* dib = owned.get();
    HostStatus status = host.IO_DIB_create_ex(stream, dib);
    if (status == 0) {
        HostTiff handle;
        handle.has_coefficients = t.has_coefficients;
        std::memcpy(handle.coefficients, t.coefficients, sizeof handle.coefficients);
        handle.has_subsampling = t.photometric == 6;
        handle.subsampling[0] = t.subsampling[0];
        handle.subsampling[1] = t.subsampling[1];
        stream->byte_order = t.byte_order;
        // Recorded only while the service runs, whatever way it returns.
        struct Recording {
            HostStream* stream;
            ~Recording() {
                if (stream->read_spans != nullptr && !stream->read_spans->empty()) {
                    stream->read_spans->back().stop = service_table().IO_tell(stream);
                }
                stream->read_spans = nullptr;
            }
        } recording{stream};
        stream->read_spans = strip_reads;
        status = service(stream, &handle, memory::new_tag(), dib, 0, t.planar_config, t.photometric, t.fill_order,
                         t.predictor, t.bits_per_sample.data(), t.samples_per_pixel, t.extra_samples,
                         t.rows_per_strip, t.strip_count, t.strips_per_plane, t.strip_offsets.data(),
                         t.strip_byte_counts.data(), static_cast<int32_t>(t.strip_offsets.size()));
    }
    if (described != nullptr) *described = std::move(t);
    return status;
}

}  // namespace

HostStatus tiff_load(HostStream* stream, uint32_t directory, TiffImage* described, std::vector<ReadSpan>* strip_reads) {
    if (strip_reads != nullptr) strip_reads->clear();
    return guarded(kModule, __LINE__, [&] { return load(stream, directory, described, strip_reads); });
}

}  // namespace kvhost

extern "C" int32_t kvhost__TIF_tag_val_return(HostTiff* tif, uint32_t index, uint32_t, void* buffer, uint32_t size,
                                              uint32_t) {
    if (tif == nullptr || buffer == nullptr) return 0;
    if (index == 71 && tif->has_coefficients && size >= sizeof tif->coefficients) {
        std::memcpy(buffer, tif->coefficients, sizeof tif->coefficients);
        return 1;
    }
    if (index == 72 && tif->has_subsampling && size >= sizeof tif->subsampling) {
        std::memcpy(buffer, tif->subsampling, sizeof tif->subsampling);
        return 1;
    }
    return 0;
}
