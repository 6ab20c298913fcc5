// TIFF LZW for applications: compressing a buffer through the component's
// named services, decompressing one, and loading a headerless LZW raster
// through the raw LZW filter with its geometry set as filter attributes.
// The component must be started (kvhost::Component::start) first.
#pragma once

#include "kvhost/load_sink.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kvhost::lzw {

// Takes produced bytes as they come; false when they cannot be taken.
using ByteWriter = std::function<bool(const uint8_t* bytes, size_t count)>;

// "KV_LZW_compress": the TIFF LZW stream of the bytes (an empty input gives
// the stream of a clear and an end code). The status of the service.
HostStatus compress(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
// The same handed to a writer straight from the service's buffer (no copy).
HostStatus compress(const uint8_t* data, size_t size, const ByteWriter& write);

// "TIFF_LZW_Write": compresses the bytes and writes them to the stream;
// *written receives the number of bytes written.
HostStatus compress_to_stream(HostStream* stream, const uint8_t* data, size_t size, uint32_t* written);

// Decodes exactly `size` bytes of a TIFF LZW stream (new-style or old-style;
// fill order 2 reverses the bits of new-style bytes). Bytes past the end of
// the data come out zero.
HostStatus decompress(const uint8_t* data, size_t length, uint32_t size, uint16_t fill_order,
                      std::vector<uint8_t>* out);

// The same from a stream's position: a sequential stream is read only as
// far as the decoding needs.
HostStatus decompress(HostStream* stream, uint32_t size, uint16_t fill_order, std::vector<uint8_t>* out);
// The same into a writer: the host keeps no copy of the decoded bytes.
HostStatus decompress(HostStream* stream, uint32_t size, uint16_t fill_order, const ByteWriter& write);

// Decodes a TIFF LZW stream up to its end code (or the end of the data).
// The length is found from where decoding leaves the stream, by decoding
// with growing sizes; for a stream without an end code whose last code
// ends on a byte boundary, the last string may come out short.
HostStatus decompress_all(const uint8_t* data, size_t length, uint16_t fill_order, std::vector<uint8_t>* out);
HostStatus decompress_all(HostStream* stream, uint16_t fill_order, std::vector<uint8_t>* out);
// Into a writer; data_end, where known, is the stream position at which the
// data ends (a file's size): it lets the first decode guess the length.
HostStatus decompress_all(HostStream* stream, uint16_t fill_order, const ByteWriter& write, int64_t data_end = -1);

// Geometry of a headerless LZW raster, as the raw filter's attributes.
struct RawGeometry {
    uint64_t width = 0;
    uint64_t height = 0;
    uint32_t bits_per_pixel = 8;
    uint32_t fill_order = 0;
    uint32_t alignment = 0;  // row alignment in bytes; 0 counts as 1
};

// Loads a raster from the stream's current position: sets WIDTH, HEIGHT,
// BITS_PER_PIXEL, FILL_ORDER and ALIGNMENT on a fresh settings record
// (filter ops 33 and 37) and calls the filter's load entry (op 12). The
// image is taken from the stream's sink. The status of the load.
HostStatus load_raw(HostStream* stream, const RawGeometry& geometry, std::unique_ptr<LoadedImage>* image);

}  // namespace kvhost::lzw
