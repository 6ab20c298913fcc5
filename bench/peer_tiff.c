/* libtiff's side of the whole-process comparison.
 *
 *   peer_tiff read IN.tif OUT.bin          every strip decoded, samples written
 *   peer_tiff write IN.bin WIDTH OUT.tif   the bytes as one LZW strip of 8-bit
 *                                          RGB rows WIDTH pixels wide */
#include "rgb_tiff.h"

#include <tiffio.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char* what) {
    fprintf(stderr, "peer_tiff: %s\n", what);
    return 1;
}

static int read_strips(const char* in_path, const char* out_path) {
    TIFF* tif = TIFFOpen(in_path, "r");
    if (tif == NULL) return fail("cannot open the TIFF");
    const tmsize_t strip_size = TIFFStripSize(tif);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    uint8_t* samples = malloc((size_t)strip_size * strips);
    if (samples == NULL) return fail("out of memory");
    size_t total = 0;
    for (uint32_t s = 0; s < strips; ++s) {
        const tmsize_t n = TIFFReadEncodedStrip(tif, s, samples + total, strip_size);
        if (n < 0) return fail("strip not decoded");
        total += (size_t)n;
    }
    TIFFClose(tif);
    FILE* out = fopen(out_path, "wb");
    if (out == NULL || fwrite(samples, 1, total, out) != total || fclose(out) != 0) return fail("cannot write");
    free(samples);
    return 0;
}

static int write_strip(const char* in_path, uint32_t width, const char* out_path) {
    FILE* in = fopen(in_path, "rb");
    if (in == NULL) return fail("cannot open the input");
    fseek(in, 0, SEEK_END);
    const long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    uint8_t* bytes = malloc((size_t)size);
    if (bytes == NULL || fread(bytes, 1, (size_t)size, in) != (size_t)size) return fail("cannot read the input");
    fclose(in);
    const uint32_t height = (uint32_t)(size / (3 * (long)width));
    TIFF* tif = TIFFOpen(out_path, "w");
    if (tif == NULL) return fail("cannot create the TIFF");
    set_rgb_lzw_fields(tif, width, height, height, PREDICTOR_NONE);
    if (TIFFWriteEncodedStrip(tif, 0, bytes, (tmsize_t)height * 3 * width) < 0) return fail("strip not written");
    TIFFClose(tif);
    free(bytes);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "read") == 0) return read_strips(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "write") == 0) return write_strip(argv[2], (uint32_t)atoi(argv[3]), argv[4]);
    fprintf(stderr, "usage: peer_tiff read IN.tif OUT.bin | peer_tiff write IN.bin WIDTH OUT.tif\n");
    return 2;
}
