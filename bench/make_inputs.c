/* Inputs of the whole-process comparison, made from two corpus photographs
 * mirror-tiled to size (mirroring keeps their statistics without seams):
 *
 *   photo.gif   harvesters' indices tiled to 3000 x 2000, its palette
 *   anim.gif    30 pages of 1280 x 720, each a different window of them
 *   capture.gif a 60-frame 1280 x 720 screen capture (screen_capture.h)
 *   photo.tif   kodim02 tiled to 2560 x 5200 RGB, LZW, one strip
 *   photo.lzw   that strip's bare LZW stream (40 MB once decoded)
 *   photo.bin   the 40 MB it decodes to
 *   strips.tif  kodim02 tiled to 3072 x 2048 RGB, LZW, predictor 2, 16-row strips
 *   rgb_p2.tif  kodim02 tiled to 4000 x 3000 RGB, LZW, predictor 2, 16-row strips
 *   rgb_p1.tif  the same without a predictor
 *   grey16.tif  4000 x 3000 16-bit grey (77 R + 150 G + 29 B: detail down to
 *               the low bits, as in a camera's), LZW, predictor 2, 16-row strips
 *
 * usage: make_inputs CORPUS_DIR OUT_DIR */
#include "rgb_tiff.h"
#include "screen_capture.h"

#include <gif_lib.h>
#include <tiffio.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t mirror(uint32_t v, uint32_t n) {
    const uint32_t period = 2 * n;
    v %= period;
    return v < n ? v : period - 1 - v;
}

static char* join(const char* dir, const char* name) {
    static char paths[8][4096];
    static int next = 0;
    char* path = paths[next++ % 8];
    snprintf(path, 4096, "%s/%s", dir, name);
    return path;
}

static void fail(const char* what) {
    fprintf(stderr, "make_inputs: %s\n", what);
    exit(1);
}

typedef struct {
    uint8_t* indices;
    int width, height;
    ColorMapObject* map;
} Indexed;

static Indexed read_first_image(const char* path) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path, &error);
    if (gif == NULL || DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1) fail("cannot read the GIF photograph");
    SavedImage* image = &gif->SavedImages[0];
    Indexed out;
    out.width = image->ImageDesc.Width;
    out.height = image->ImageDesc.Height;
    out.indices = malloc((size_t)out.width * out.height);
    memcpy(out.indices, image->RasterBits, (size_t)out.width * out.height);
    ColorMapObject* map = image->ImageDesc.ColorMap ? image->ImageDesc.ColorMap : gif->SColorMap;
    out.map = GifMakeMapObject(map->ColorCount, map->Colors);
    DGifCloseFile(gif, &error);
    return out;
}

static void write_frame(GifFileType* gif, const Indexed* src, int width, int height, int dx, int dy) {
    if (EGifPutImageDesc(gif, 0, 0, width, height, false, NULL) != GIF_OK) fail("EGifPutImageDesc");
    GifPixelType* line = malloc(width);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = src->indices + (size_t)mirror(y + dy, src->height) * src->width;
        for (int x = 0; x < width; ++x) line[x] = row[mirror(x + dx, src->width)];
        if (EGifPutLine(gif, line, width) != GIF_OK) fail("EGifPutLine");
    }
    free(line);
}

static void write_gif(const char* path, const Indexed* src, int width, int height, int frames) {
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path, false, &error);
    if (gif == NULL) fail("cannot create a GIF");
    EGifSetGifVersion(gif, frames > 1);
    if (EGifPutScreenDesc(gif, width, height, 8, 0, src->map) != GIF_OK) fail("EGifPutScreenDesc");
    for (int f = 0; f < frames; ++f) {
        if (frames > 1) {
            const GifByteType control[4] = {4, 4, 0, 0}; /* no disposal, 40 ms */
            EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
        }
        write_frame(gif, src, width, height, f * 37, f * 23);
    }
    if (EGifCloseFile(gif, &error) != GIF_OK) fail("EGifCloseFile");
}

static uint8_t* read_rgb(const char* path, uint32_t* width, uint32_t* height) {
    TIFF* tif = TIFFOpen(path, "r");
    if (tif == NULL) fail("cannot read the TIFF photograph");
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, height);
    uint32_t* rgba = malloc(sizeof(uint32_t) * *width * *height);
    TIFFReadRGBAImageOriented(tif, *width, *height, rgba, ORIENTATION_TOPLEFT, 0);
    TIFFClose(tif);
    uint8_t* rgb = malloc((size_t)3 * *width * *height);
    for (size_t i = 0; i < (size_t)*width * *height; ++i) {
        rgb[3 * i] = TIFFGetR(rgba[i]);
        rgb[3 * i + 1] = TIFFGetG(rgba[i]);
        rgb[3 * i + 2] = TIFFGetB(rgba[i]);
    }
    free(rgba);
    return rgb;
}

static uint8_t* tile_rgb(const uint8_t* rgb, uint32_t w, uint32_t h, uint32_t width, uint32_t height) {
    uint8_t* out = malloc((size_t)3 * width * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            memcpy(out + 3 * ((size_t)y * width + x), rgb + 3 * ((size_t)mirror(y, h) * w + mirror(x, w)), 3);
        }
    }
    return out;
}

static void write_tiff(const char* path, const uint8_t* rgb, uint32_t width, uint32_t height, uint32_t rows_per_strip,
                       uint16_t predictor) {
    TIFF* tif = TIFFOpen(path, "w");
    if (tif == NULL) fail("cannot create a TIFF");
    set_rgb_lzw_fields(tif, width, height, rows_per_strip, predictor);
    const size_t row = (size_t)3 * width;
    for (uint32_t y = 0, strip = 0; y < height; y += rows_per_strip, ++strip) {
        const uint32_t rows = height - y < rows_per_strip ? height - y : rows_per_strip;
        if (TIFFWriteEncodedStrip(tif, strip, (void*)(rgb + y * row), (tmsize_t)(rows * row)) < 0) fail("strip");
    }
    TIFFClose(tif);
}

static void write_grey16_tiff(const char* path, const uint8_t* rgb, uint32_t width, uint32_t height,
                              uint32_t rows_per_strip) {
    TIFF* tif = TIFFOpen(path, "w");
    if (tif == NULL) fail("cannot create a TIFF");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    uint16_t* grey = malloc(sizeof(uint16_t) * width * height);
    for (size_t i = 0; i < (size_t)width * height; ++i) {
        grey[i] = (uint16_t)(77 * rgb[3 * i] + 150 * rgb[3 * i + 1] + 29 * rgb[3 * i + 2]);
    }
    const size_t row = (size_t)2 * width;
    for (uint32_t y = 0, strip = 0; y < height; y += rows_per_strip, ++strip) {
        const uint32_t rows = height - y < rows_per_strip ? height - y : rows_per_strip;
        if (TIFFWriteEncodedStrip(tif, strip, (uint8_t*)grey + y * row, (tmsize_t)(rows * row)) < 0) fail("strip");
    }
    free(grey);
    TIFFClose(tif);
}

static void write_bytes(const char* path, const void* bytes, size_t size) {
    FILE* file = fopen(path, "wb");
    if (file == NULL || fwrite(bytes, 1, size, file) != size || fclose(file) != 0) fail("cannot write a file");
}

/* The bare LZW data of a one-strip TIFF. */
static void extract_strip(const char* tiff_path, const char* out_path) {
    TIFF* tif = TIFFOpen(tiff_path, "r");
    if (tif == NULL) fail("cannot reopen the TIFF");
    const tmsize_t size = TIFFRawStripSize(tif, 0);
    void* raw = malloc(size);
    if (TIFFReadRawStrip(tif, 0, raw, size) != size) fail("TIFFReadRawStrip");
    write_bytes(out_path, raw, size);
    free(raw);
    TIFFClose(tif);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_inputs CORPUS_DIR OUT_DIR\n");
        return 2;
    }
    const char* corpus = argv[1];
    const char* out = argv[2];

    Indexed harvesters = read_first_image(join(corpus, "gif/wuffs/harvesters.gif"));
    write_gif(join(out, "photo.gif"), &harvesters, 3000, 2000, 1);
    write_gif(join(out, "anim.gif"), &harvesters, 1280, 720, 30);
    size_t capture_size = 0;
    uint8_t* capture = screen_capture_gif(60, &capture_size);
    FILE* capture_file = capture != NULL ? fopen(join(out, "capture.gif"), "wb") : NULL;
    if (capture_file == NULL || fwrite(capture, 1, capture_size, capture_file) != capture_size ||
        fclose(capture_file) != 0)
        fail("cannot write capture.gif");
    free(capture);

    uint32_t w = 0, h = 0;
    uint8_t* kodim = read_rgb(join(corpus, "tiff/image-tiff/kodim02-lzw.tif"), &w, &h);
    uint8_t* big = tile_rgb(kodim, w, h, 2560, 5200);
    write_bytes(join(out, "photo.bin"), big, (size_t)3 * 2560 * 5200);
    write_tiff(join(out, "photo.tif"), big, 2560, 5200, 5200, 1);
    extract_strip(join(out, "photo.tif"), join(out, "photo.lzw"));
    free(big);
    uint8_t* strips = tile_rgb(kodim, w, h, 3072, 2048);
    write_tiff(join(out, "strips.tif"), strips, 3072, 2048, 16, 2);
    free(strips);
    uint8_t* large = tile_rgb(kodim, w, h, 4000, 3000);
    write_tiff(join(out, "rgb_p2.tif"), large, 4000, 3000, 16, 2);
    write_tiff(join(out, "rgb_p1.tif"), large, 4000, 3000, 16, 1);
    write_grey16_tiff(join(out, "grey16.tif"), large, 4000, 3000, 16);
    free(large);
    free(kodim);
    return 0;
}
