/* The fields of an 8-bit RGB LZW TIFF, for the comparison's C programs. */
#pragma once

#include <tiffio.h>

static inline void set_rgb_lzw_fields(TIFF* tif, uint32_t width, uint32_t height, uint32_t rows_per_strip,
                                      uint16_t predictor) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, predictor);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
}
