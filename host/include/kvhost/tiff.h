// The host's TIFF reader for LZW-compressed images. libtiff parses the
// container (header, image file directory, tags); the strips themselves are
// decoded by the component's "TIF_Proc_LZW_Comp" service through a host
// stream over the same bytes.
#pragma once

#include "kvhost/stream.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

// Error code of the host's TIFF reader: a file it does not read (not a
// TIFF, not LZW, tiles, a layout without a host image). The text says why.
namespace host_error {
inline constexpr int32_t kTiffUnsupported = -9010;
}  // namespace host_error

// What the host's TIFF reader reads, as the tool lists it beside the
// component's filters.
inline constexpr const char* kTiffReaderName = "TIFF";
inline constexpr const char* kTiffReaderPattern = "*.tif;*.tiff";
inline constexpr const char* kTiffReaderReads =
    "LZW strips: grey and WhiteIsZero (1, 4, 8, 12, 16 bits, with or without alpha), palette (1, 4, 8 bits; "
    "8 bits with one extra sample), RGB and RGBA (8, 12, 16 bits), CMYK, CIELab (8, 16 bits), YCbCr (8 bits); "
    "contiguous or separate planes, predictor 1 or 2, either byte order";

// ExtraSamples values that say what an extra sample is.
namespace extra_sample {
inline constexpr uint16_t kAssociatedAlpha = 1;  // colour premultiplied by it
inline constexpr uint16_t kUnassociatedAlpha = 2;
}  // namespace extra_sample

// One image of a TIFF file as the strip service is given it, plus the host
// image description chosen for it.
struct TiffImage {
    uint32_t directory = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t compression = 0;
    int32_t byte_order = 0;  // 0 little-endian ("II"), 1 big-endian ("MM")
    int32_t planar_config = 1;
    int32_t photometric = 0;
    uint16_t fill_order = 1;
    int32_t predictor = 1;
    std::vector<int16_t> bits_per_sample;  // one per sample
    int32_t samples_per_pixel = 1;
    uint32_t extra_samples = 0;  // number of ExtraSamples values
    uint16_t extra_kind = 0;     // the first ExtraSamples value: 1 associated alpha, 2 unassociated
    int32_t rows_per_strip = 0;  // clamped to the height
    int32_t strip_count = 0;     // per plane when planes are separate
    int32_t strips_per_plane = 0;
    std::vector<uint32_t> strip_offsets;
    std::vector<uint32_t> strip_byte_counts;
    // YCbCr tags as the host hands them to the service (indices 71, 72).
    bool has_coefficients = false;
    uint32_t coefficients[6] = {};  // Kr, Kg, Kb as numerator, denominator
    uint16_t subsampling[2] = {1, 1};
    // The host image: kvhost::colorspace value, channels, bits per channel.
    uint32_t colorspace = 0;
    uint32_t channels = 0;
    uint32_t bits_per_channel = 0;
    uint32_t depth = 0;
    std::vector<uint8_t> palette;  // 4 bytes per entry: blue, green, red, 0
};

// Reads directory `directory` (counted from 0) of the TIFF in the stream and
// describes it. A file that is not an LZW strip TIFF the host can hold is
// refused with one kTiffUnsupported record.
HostStatus tiff_describe(HostStream* stream, uint32_t directory, TiffImage* image);

// Describes the image, announces it to the stream (IO_DIB_create_ex) and
// has the component's strip service deliver its rows; the image then sits
// in stream->sink.image. Needs a started component.
// With `strip_reads`, also where the strip service's decoder began and
// stopped reading each strip it decoded, in the order it read them.
HostStatus tiff_load(HostStream* stream, uint32_t directory, TiffImage* described = nullptr,
                     std::vector<ReadSpan>* strip_reads = nullptr);

// A strip whose data cannot give the rows it should: where it lies against
// the file's size, or what its LZW codes show. `strip` indexes the strip
// tables (planes one after the other).
struct StripDamage {
    uint32_t strip = 0;
    std::string text;
};

// Every damaged strip of a described image that the file shows: strips
// that start past the end of the file or are cut short by it, and LZW data
// that ends, or reaches its end code, before the strip's rows are complete,
// or that holds a code above the next one to be defined. The strip service
// decodes such strips quietly (missing rows come out zero); this says why.
//
// Walking every code of every strip costs nearly what decoding them does;
// most strips can be cleared for less. tiff_strip_scan looks at each
// strip's codes without their string lengths (and can run on another
// stream while tiff_load decodes); given that and the load's strip reads,
// only the strips those cannot clear are walked. The damage found is the
// same either way.
struct StripScan {
    // Per strip: bytes up to where its end code starts when the codes before
    // it are plainly sound, 0 when the strip needs the walk.
    std::vector<uint64_t> before_end_code;
};
StripScan tiff_strip_scan(HostStream* stream, const TiffImage& image);
std::vector<StripDamage> tiff_strip_damage(HostStream* stream, const TiffImage& image,
                                           const StripScan* scan = nullptr,
                                           const std::vector<ReadSpan>* strip_reads = nullptr);

// The image description tiff_describe chose, as a new handle the caller
// deletes with DIB_info_delete.
HostDibInfo* tiff_dib_info(const TiffImage& image);

}  // namespace kvhost

// The TIFF handle the strip service passes back to _TIF_tag_val_return.
struct HostTiff {
    bool has_coefficients = false;
    uint32_t coefficients[6] = {};
    bool has_subsampling = false;
    uint16_t subsampling[2] = {1, 1};
};
