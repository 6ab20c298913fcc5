// PNG output: rows filtered, compressed with libdeflate in one piece, and
// written as chunks.
#include "deflate_library.h"
#include "image_output.h"
#include "png_rows.h"

#include <memory>

namespace kvtool {
namespace {

// IDAT chunks of this size: big enough that their headers cost nothing.
constexpr size_t kDataChunkBytes = size_t{1} << 20;

uint8_t colour_type(PngRaster::Kind kind) {
    switch (kind) {
        case PngRaster::Kind::kPalette: return 3;
        case PngRaster::Kind::kGrey: return 0;
        case PngRaster::Kind::kGreyAlpha: return 4;
        case PngRaster::Kind::kRgb: return 2;
        case PngRaster::Kind::kRgba: return 6;
    }
    return 0;
}

void put_big_endian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24), p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8), p[3] = static_cast<uint8_t>(v);
}

bool write_chunk(const Libdeflate& deflate, OutputFile& out, const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8], tail[4];
    put_big_endian(head, static_cast<uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    // libdeflate's CRC of a null buffer is its starting value, not an update.
    put_big_endian(tail, size == 0 ? deflate.crc32(0, type, 4) : deflate.crc32(deflate.crc32(0, type, 4), data, size));
    return out.write(head, sizeof head) && (size == 0 || out.write(data, size)) && out.write(tail, sizeof tail);
}

// The rows as the image data stream holds them before compression: each
// row's filter byte, then its bytes filtered (16-bit words big-endian).
std::vector<uint8_t> filtered_rows(const PngRaster& raster, int level) {
    const size_t sample_bytes = raster.bit_depth == 16 ? 2 : 1;
    const size_t pixel_bytes = raster.channels() * sample_bytes;
    const size_t row_bytes = size_t{raster.width} * pixel_bytes;
    std::vector<uint8_t> filtered(size_t{raster.height} * (row_bytes + 1));
    // Palette indices rarely gain from any filter; photographs gain most
    // from Sub for the least work, and slow levels try every filter.
    const bool adaptive = raster.kind != PngRaster::Kind::kPalette && level > 3;
    const PngFilter fixed = raster.kind == PngRaster::Kind::kPalette ? PngFilter::kNone : PngFilter::kSub;
    std::vector<uint8_t> swapped(sample_bytes == 2 ? 2 * row_bytes : 0), scratch(adaptive ? row_bytes : 0);
    const std::vector<uint8_t> zeros(row_bytes, 0);
    const uint8_t* prior = zeros.data();
    for (uint32_t y = 0; y < raster.height; ++y) {
        const uint8_t* row = raster.sample_bytes().data() + size_t{y} * row_bytes;
        if (sample_bytes == 2) {
            uint8_t* big = swapped.data() + (y % 2) * row_bytes;
            for (size_t i = 0; i + 1 < row_bytes; i += 2) big[i] = row[i + 1], big[i + 1] = row[i];
            row = big;
        }
        uint8_t* out = filtered.data() + size_t{y} * (row_bytes + 1);
        const PngFilter filter =
            adaptive ? filter_png_row_adaptively(row, prior, row_bytes, pixel_bytes, out + 1, scratch.data()) : fixed;
        if (!adaptive) filter_png_row(filter, row, prior, row_bytes, pixel_bytes, out + 1);
        out[0] = static_cast<uint8_t>(filter);
        prior = row;
    }
    return filtered;
}

struct CompressorDeleter {
    const Libdeflate* deflate;
    void operator()(libdeflate_compressor* c) const { deflate->free_compressor(c); }
};

bool encode_png(const Libdeflate& deflate, OutputFile& out, const PngRaster& raster, int level, std::string* error) {
    const bool palette = raster.kind == PngRaster::Kind::kPalette;
    if (level == kDefaultPngLevel) level = palette ? 5 : 1;
    // The smallest files zlib made at 9 libdeflate makes at its own top level.
    if (level == 9) level = 12;
    const size_t entries = raster.palette_rgb.size() / 3;
    if (palette && (entries == 0 || entries > 256)) {
        *error = "PNG: invalid number of colours in the palette";
        return false;
    }
    std::vector<uint8_t> compressed;
    {
        const std::vector<uint8_t> filtered = filtered_rows(raster, level);
        const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(deflate.alloc_compressor(level),
                                                                                   CompressorDeleter{&deflate});
        if (compressor != nullptr) {
            compressed.resize(deflate.zlib_compress_bound(compressor.get(), filtered.size()));
            compressed.resize(deflate.zlib_compress(compressor.get(), filtered.data(), filtered.size(),
                                                    compressed.data(), compressed.size()));
        }
        if (compressed.empty()) {
            *error = "PNG: out of memory compressing the image";
            return false;
        }
    }
    static constexpr uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    uint8_t header[13];
    put_big_endian(header, raster.width);
    put_big_endian(header + 4, raster.height);
    header[8] = static_cast<uint8_t>(raster.bit_depth);
    header[9] = colour_type(raster.kind);
    header[10] = header[11] = header[12] = 0;
    bool written = out.write(kSignature, sizeof kSignature) && write_chunk(deflate, out, "IHDR", header, sizeof header);
    if (raster.significant_bits != 0 && !palette) {
        const uint8_t bits[4] = {static_cast<uint8_t>(raster.significant_bits), static_cast<uint8_t>(raster.significant_bits),
                                 static_cast<uint8_t>(raster.significant_bits), static_cast<uint8_t>(raster.significant_bits)};
        written = written && write_chunk(deflate, out, "sBIT", bits, raster.channels());
    }
    if (palette) {
        written = written && write_chunk(deflate, out, "PLTE", raster.palette_rgb.data(), entries * 3);
        const size_t alphas = std::min(raster.palette_alpha.size(), entries);
        if (alphas != 0) written = written && write_chunk(deflate, out, "tRNS", raster.palette_alpha.data(), alphas);
    }
    for (size_t at = 0; written && at < compressed.size(); at += kDataChunkBytes)
        written = write_chunk(deflate, out, "IDAT", compressed.data() + at, std::min(kDataChunkBytes, compressed.size() - at));
    written = written && write_chunk(deflate, out, "IEND", nullptr, 0);
    if (!written) *error = out.error();
    return written;
}

}  // namespace

bool write_png(const std::string& path, const PngRaster& raster, int level, std::string* error) {
    std::string why;
    const size_t bytes_per_sample = raster.bit_depth == 16 ? 2 : 1;
    if (raster.width == 0 || raster.height == 0) {
        why = "PNG cannot hold an empty image";
    } else if (raster.sample_bytes().size() <
               size_t{raster.width} * raster.height * raster.channels() * bytes_per_sample) {
        why = "internal error: raster shorter than its geometry";
    } else if (const Libdeflate* deflate = load_libdeflate(&why); deflate != nullptr) {
        OutputFile out(path);
        if (!out.ok()) {
            why = out.error();
        } else if (encode_png(*deflate, out, raster, level, &why)) {
            if (out.commit()) return true;
            why = out.error();
        }
    }
    if (error != nullptr) *error = why;
    return false;
}

}  // namespace kvtool
