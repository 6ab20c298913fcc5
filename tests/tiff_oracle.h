// libtiff as an oracle for TIFF LZW data: one-strip grey TIFFs written to a
// temporary file, with the strip either raw (our bytes) or compressed by
// libtiff.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace oracle {

// Sets the layout tags of a new LZW image, the current directory of `tif`;
// the caller adds any other tags and the strips.
inline void set_lzw_layout(TIFF* tif, uint32_t width, uint32_t height, uint16_t bits, uint16_t spp,
                           uint16_t photometric, uint32_t rows_per_strip, uint16_t planar = PLANARCONFIG_CONTIG) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, planar);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
}

// Opens `path` for a new little-endian LZW TIFF with its layout tags set.
inline TIFF* open_lzw_tiff(const std::string& path, uint32_t width, uint32_t height, uint16_t bits, uint16_t spp,
                           uint16_t photometric, uint32_t rows_per_strip, uint16_t planar = PLANARCONFIG_CONTIG) {
    TIFF* tif = TIFFOpen(path.c_str(), "wl");
    if (tif != nullptr) set_lzw_layout(tif, width, height, bits, spp, photometric, rows_per_strip, planar);
    return tif;
}

// Writes a one-strip LZW TIFF of width x height 8-bit grey samples with
// `write`, reads it back with `read`, and removes it.
template <class Write, class Read>
void through_file(uint32_t width, uint32_t height, Write write, Read read) {
    static int counter = 0;
    const std::string path = kvtest::temp_path("oracle_" + std::to_string(++counter) + ".tif");
    if (TIFF* out = open_lzw_tiff(path, width, height, 8, 1, PHOTOMETRIC_MINISBLACK, height)) {
        write(out);
        TIFFClose(out);
        if (TIFF* in = TIFFOpen(path.c_str(), "r")) {
            read(in);
            TIFFClose(in);
        }
    }
    std::remove(path.c_str());
}

// libtiff's decoding of an LZW strip: a width x height image of 8-bit grey
// samples. Empty when libtiff fails.
inline std::vector<uint8_t> libtiff_decode(const std::vector<uint8_t>& strip, uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels;
    through_file(
        width, height,
        [&](TIFF* out) { TIFFWriteRawStrip(out, 0, const_cast<uint8_t*>(strip.data()), static_cast<tmsize_t>(strip.size())); },
        [&](TIFF* in) {
            pixels.resize(static_cast<size_t>(TIFFStripSize(in)));
            if (TIFFReadEncodedStrip(in, 0, pixels.data(), static_cast<tmsize_t>(pixels.size())) < 0) pixels.clear();
        });
    return pixels;
}

// libtiff's LZW compression of width x height 8-bit samples (one strip).
inline std::vector<uint8_t> libtiff_compress(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height) {
    std::vector<uint8_t> strip;
    through_file(
        width, height,
        [&](TIFF* out) { TIFFWriteEncodedStrip(out, 0, const_cast<uint8_t*>(pixels.data()), static_cast<tmsize_t>(pixels.size())); },
        [&](TIFF* in) {
            uint64_t* counts = nullptr;
            if (!TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &counts) || counts == nullptr) return;
            strip.resize(static_cast<size_t>(counts[0]));
            if (TIFFReadRawStrip(in, 0, strip.data(), static_cast<tmsize_t>(strip.size())) < 0) strip.clear();
        });
    return strip;
}

}  // namespace oracle
