/* The browsers' composition of giflib's slurped images into an RGBA canvas,
 * the baseline of the true-colour frame benchmarks: a transparent screen;
 * each frame through its own table (local, else global; indices past it
 * opaque black), clipped, its transparent pixels leaving the canvas;
 * disposal 2 clears the frame's rectangle, 3 and 4 put back what it held
 * before the frame. C and C++ alike. */
#ifndef KVLZW_BENCH_GIFLIB_RGBA_H
#define KVLZW_BENCH_GIFLIB_RGBA_H

#include <gif_lib.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* Calls each(i, canvas, context) after frame i with the canvas (R, G, B, A
 * bytes per pixel); stops when it answers non-zero. 0 on success. */
static int giflib_rgba_frames(GifFileType* gif, int (*each)(int, const uint8_t*, void*), void* context) {
    const size_t w = (size_t)gif->SWidth, h = (size_t)gif->SHeight;
    uint32_t* canvas = (uint32_t*)calloc(w * h + 1, 4);
    uint32_t* saved = (uint32_t*)malloc((w * h + 1) * 4);
    uint32_t colours[256];
    size_t pl = 0, pt = 0, pr = 0, pb = 0;
    int previous = 0, status = canvas != NULL && saved != NULL ? 0 : -1;
    for (int i = 0; status == 0 && i < gif->ImageCount; ++i) {
        if (previous == 2 || previous == 3 || previous == 4) {
            for (size_t y = pt; y < pb; ++y) {
                uint32_t* row = canvas + y * w + pl;
                if (previous == 2) memset(row, 0, (pr - pl) * 4);
                else memcpy(row, saved + (y - pt) * (pr - pl), (pr - pl) * 4);
            }
        }
        const SavedImage* image = &gif->SavedImages[i];
        const GifImageDesc* d = &image->ImageDesc;
        GraphicsControlBlock gcb = {0, 0, 0, NO_TRANSPARENT_COLOR};
        DGifSavedExtensionToGCB(gif, i, &gcb);
        const size_t l = (size_t)d->Left < w ? (size_t)d->Left : w, t = (size_t)d->Top < h ? (size_t)d->Top : h;
        const size_t r = (size_t)d->Left + d->Width < w ? (size_t)d->Left + d->Width : w;
        const size_t b = (size_t)d->Top + d->Height < h ? (size_t)d->Top + d->Height : h;
        if (gcb.DisposalMode == 3 || gcb.DisposalMode == 4) {
            for (size_t y = t; y < b; ++y) memcpy(saved + (y - t) * (r - l), canvas + y * w + l, (r - l) * 4);
        }
        const ColorMapObject* map = d->ColorMap != NULL ? d->ColorMap : gif->SColorMap;
        for (int c = 0; c < 256; ++c) {
            colours[c] = 0xFF000000u;
            if (map != NULL && c < map->ColorCount) {
                const GifColorType* k = &map->Colors[c];
                colours[c] |= (uint32_t)k->Red | (uint32_t)k->Green << 8 | (uint32_t)k->Blue << 16;
            }
        }
        for (size_t y = t; y < b; ++y) {
            const GifByteType* from = image->RasterBits + (y - d->Top) * (size_t)d->Width;
            uint32_t* to = canvas + y * w + l;
            const size_t n = r - l;
            if (gcb.TransparentColor == NO_TRANSPARENT_COLOR) {
                for (size_t x = 0; x < n; ++x) to[x] = colours[from[x]];
            } else {
                for (size_t x = 0; x < n; ++x)
                    if (from[x] != gcb.TransparentColor) to[x] = colours[from[x]];
            }
        }
        previous = gcb.DisposalMode;
        pl = l, pt = t, pr = r, pb = b;
        if (each(i, (const uint8_t*)canvas, context) != 0) status = -1;
    }
    free(canvas);
    free(saved);
    return status;
}

#endif
