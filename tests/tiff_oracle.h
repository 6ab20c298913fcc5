// libtiff as an oracle for TIFF LZW data: one-strip grey TIFFs written to a
// temporary file, with the strip either raw (our bytes) or compressed by
// libtiff.
#pragma once

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

inline std::string temp_tiff_path() {
    static int counter = 0;
    return ::testing::TempDir() + "kvlzw_oracle_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + ".tif";
}

inline void set_strip_fields(TIFF* tif, uint32_t width, uint32_t height, uint16_t bits, uint16_t fill_order) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    if (fill_order == 2) TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
}

// libtiff's decoding of an LZW strip: a width x height image of `bits`-bit
// grey samples, rows packed to whole bytes. Empty when libtiff fails.
inline std::vector<uint8_t> libtiff_decode(const std::vector<uint8_t>& strip, uint32_t width, uint32_t height,
                                           uint16_t bits = 8, uint16_t fill_order = 1) {
    const std::string path = temp_tiff_path();
    TIFF* out = TIFFOpen(path.c_str(), "w");
    if (out == nullptr) return {};
    set_strip_fields(out, width, height, bits, fill_order);
    TIFFWriteRawStrip(out, 0, const_cast<uint8_t*>(strip.data()), static_cast<tmsize_t>(strip.size()));
    TIFFClose(out);
    std::vector<uint8_t> pixels;
    if (TIFF* in = TIFFOpen(path.c_str(), "r")) {
        pixels.resize(static_cast<size_t>(TIFFStripSize(in)));
        const tmsize_t got = TIFFReadEncodedStrip(in, 0, pixels.data(), static_cast<tmsize_t>(pixels.size()));
        if (got < 0) pixels.clear();
        TIFFClose(in);
    }
    std::remove(path.c_str());
    return pixels;
}

// libtiff's LZW compression of width x height 8-bit samples (one strip).
inline std::vector<uint8_t> libtiff_compress(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height) {
    const std::string path = temp_tiff_path();
    TIFF* out = TIFFOpen(path.c_str(), "w");
    if (out == nullptr) return {};
    set_strip_fields(out, width, height, 8, 1);
    TIFFWriteEncodedStrip(out, 0, const_cast<uint8_t*>(pixels.data()), static_cast<tmsize_t>(pixels.size()));
    TIFFClose(out);
    std::vector<uint8_t> strip;
    if (TIFF* in = TIFFOpen(path.c_str(), "r")) {
        uint64_t* counts = nullptr;
        if (TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &counts) && counts != nullptr) {
            strip.resize(static_cast<size_t>(counts[0]));
            if (TIFFReadRawStrip(in, 0, strip.data(), static_cast<tmsize_t>(strip.size())) < 0) strip.clear();
        }
        TIFFClose(in);
    }
    std::remove(path.c_str());
    return strip;
}

}  // namespace oracle
