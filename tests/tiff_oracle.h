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

// libtiff's LZW work on one strip of width x height 8-bit grey samples,
// through a temporary file: `decode` writes the strip raw and reads it
// decoded (empty when libtiff fails), else writes the samples encoded and
// reads the strip raw.
inline std::vector<uint8_t> libtiff_strip(const std::vector<uint8_t>& in, uint32_t width, uint32_t height, bool decode) {
    static int counter = 0;
    const std::string path = kvtest::temp_path("oracle_" + std::to_string(++counter) + ".tif");
    std::vector<uint8_t> out;
    if (TIFF* tif = open_lzw_tiff(path, width, height, 8, 1, PHOTOMETRIC_MINISBLACK, height)) {
        auto* data = const_cast<uint8_t*>(in.data());
        const auto size = static_cast<tmsize_t>(in.size());
        decode ? TIFFWriteRawStrip(tif, 0, data, size) : TIFFWriteEncodedStrip(tif, 0, data, size);
        TIFFClose(tif);
    }
    if (TIFF* tif = TIFFOpen(path.c_str(), "r")) {
        uint64_t* counts = nullptr;
        if (decode) {
            out.resize(static_cast<size_t>(TIFFStripSize(tif)));
            if (TIFFReadEncodedStrip(tif, 0, out.data(), static_cast<tmsize_t>(out.size())) < 0) out.clear();
        } else if (TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) && counts != nullptr) {
            out.resize(static_cast<size_t>(counts[0]));
            if (TIFFReadRawStrip(tif, 0, out.data(), static_cast<tmsize_t>(out.size())) < 0) out.clear();
        }
        TIFFClose(tif);
    }
    std::remove(path.c_str());
    return out;
}
inline std::vector<uint8_t> libtiff_decode(const std::vector<uint8_t>& strip, uint32_t width, uint32_t height) {
    return libtiff_strip(strip, width, height, true);
}
inline std::vector<uint8_t> libtiff_compress(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height) {
    return libtiff_strip(pixels, width, height, false);
}

}  // namespace oracle
