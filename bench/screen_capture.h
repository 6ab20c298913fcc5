/* A screen-capture-like animation, written with giflib: a 1280 x 720
 * desktop (flat background, a task bar, two windows of "text"), then per
 * frame a line of typing in the first window (opaque, 560 x 28) and a 16 x 16
 * cursor (transparent around the arrow, disposal 2). C and C++ alike. */
#ifndef KVLZW_BENCH_SCREEN_CAPTURE_H
#define KVLZW_BENCH_SCREEN_CAPTURE_H

#include <gif_lib.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    uint8_t* bytes;
    size_t size, capacity;
} CaptureBytes;

static uint32_t capture_next(uint32_t* seed) {
    *seed = *seed * 1103515245u + 12345u;
    return *seed >> 16;
}

static int capture_write(GifFileType* gif, const GifByteType* bytes, int n) {
    CaptureBytes* out = (CaptureBytes*)gif->UserData;
    if (out->size + (size_t)n > out->capacity) {
        size_t capacity = out->capacity ? out->capacity * 2 : 1 << 20;
        while (capacity < out->size + (size_t)n) capacity *= 2;
        uint8_t* grown = (uint8_t*)realloc(out->bytes, capacity);
        if (grown == NULL) return 0;
        out->bytes = grown;
        out->capacity = capacity;
    }
    memcpy(out->bytes + out->size, bytes, (size_t)n);
    out->size += (size_t)n;
    return n;
}

/* Rows of "text": runs of dark pixels on a light window, like a terminal. */
static void capture_text(uint8_t* pixels, int width, int left, int top, int w, int h, uint32_t* seed) {
    for (int y = 0; y < h; ++y) {
        const int line = (y % 14) < 9;
        for (int x = 0; x < w; ++x) {
            uint8_t value = 250;
            if (line && (x % 7) < 5 && capture_next(seed) % 3 != 0) value = (uint8_t)(16 + capture_next(seed) % 8);
            pixels[(size_t)(top + y) * width + left + x] = value;
        }
    }
}

static void capture_put(GifFileType* gif, int left, int top, int w, int h, int disposal, int transparent,
                        const uint8_t* pixels) {
    GraphicsControlBlock gcb;
    GifByteType ext[4];
    gcb.DisposalMode = disposal;
    gcb.UserInputFlag = 0;
    gcb.DelayTime = 4;
    gcb.TransparentColor = transparent;
    EGifGCBToExtension(&gcb, ext);
    EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    EGifPutImageDesc(gif, left, top, w, h, 0, NULL);
    for (int y = 0; y < h; ++y) EGifPutLine(gif, (GifPixelType*)(pixels + (size_t)y * w), w);
}

/* The animation's bytes (malloc'd, *size set), or NULL. */
static uint8_t* screen_capture_gif(int frames, size_t* size) {
    enum { kW = 1280, kH = 720 };
    CaptureBytes out = {NULL, 0, 0};
    int error = 0;
    GifFileType* gif = EGifOpen(&out, capture_write, &error);
    if (gif == NULL) return NULL;
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i) {
        colours[i].Red = (GifByteType)i;
        colours[i].Green = (GifByteType)(i * 7);
        colours[i].Blue = (GifByteType)(255 - i);
    }
    ColorMapObject* map = GifMakeMapObject(256, colours);
    EGifSetGifVersion(gif, 1);
    EGifPutScreenDesc(gif, kW, kH, 8, 0, map);
    uint32_t seed = 1;
    uint8_t* desktop = (uint8_t*)malloc((size_t)kW * kH);
    memset(desktop, 60, (size_t)kW * kH);
    memset(desktop + (size_t)(kH - 40) * kW, 90, (size_t)40 * kW);
    capture_text(desktop, kW, 80, 60, 560, 420, &seed);
    capture_text(desktop, kW, 700, 120, 500, 360, &seed);
    capture_put(gif, 0, 0, kW, kH, 1, NO_TRANSPARENT_COLOR, desktop);
    free(desktop);
    uint8_t typed[560 * 28], cursor[16 * 16];
    for (int f = 1; f < frames; ++f) {
        capture_text(typed, 560, 0, 0, 560, 28, &seed);
        capture_put(gif, 80, 60 + (f * 14) % 392, 560, 28, 1, NO_TRANSPARENT_COLOR, typed);
        memset(cursor, 255, sizeof cursor);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x <= y && x < 12; ++x) cursor[y * 16 + x] = 0;
        capture_put(gif, (f * 37) % (kW - 16), (f * 23) % (kH - 16), 16, 16, 2, 255, cursor);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    *size = out.size;
    return out.bytes;
}

#endif
