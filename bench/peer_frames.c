/* giflib's side of the whole-process frames comparison: every frame of an
 * animated GIF as browsers show it (DGifSlurp, then the composition of
 * giflib_rgba.h), each written to OUT_DIR/frame-0001.bin, ... as 4 bytes a
 * pixel (R, G, B, A), rows top to bottom: what kvlzw frames --format bin
 * writes. With --write-only W H N it writes N frames of W x H from one
 * buffer (filled, so that the copies read memory as the real ones do)
 * instead: the cost of the output alone.
 *
 * usage: peer_frames IN.gif OUT_DIR
 *        peer_frames --write-only W H N OUT_DIR */
#include "giflib_rgba.h"

#include <stdio.h>
#include <stdlib.h>

typedef struct {
    const char* dir;
    size_t bytes;
} Output;

static int write_frame(int i, const uint8_t* pixels, void* context) {
    const Output* out = (const Output*)context;
    char path[4096];
    snprintf(path, sizeof path, "%s/frame-%04d.bin", out->dir, i + 1);
    FILE* f = fopen(path, "wb");
    if (f == NULL) return -1;
    const int ok = fwrite(pixels, 1, out->bytes, f) == out->bytes;
    return fclose(f) == 0 && ok ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc == 6 && strcmp(argv[1], "--write-only") == 0) {
        Output out = {argv[5], (size_t)atol(argv[2]) * (size_t)atol(argv[3]) * 4};
        uint8_t* pixels = (uint8_t*)malloc(out.bytes + 1);
        if (pixels == NULL) return 1;
        memset(pixels, 0x5A, out.bytes + 1);
        for (int i = 0; i < atoi(argv[4]); ++i)
            if (write_frame(i, pixels, &out) != 0) return 1;
        free(pixels);
        return 0;
    }
    if (argc != 3) {
        fprintf(stderr, "usage: peer_frames IN.gif OUT_DIR\n");
        return 2;
    }
    int error = 0;
    GifFileType* gif = DGifOpenFileName(argv[1], &error);
    if (gif == NULL || DGifSlurp(gif) != GIF_OK || gif->ImageCount == 0) {
        fprintf(stderr, "peer_frames: giflib cannot read %s\n", argv[1]);
        return 1;
    }
    Output out = {argv[2], (size_t)gif->SWidth * (size_t)gif->SHeight * 4};
    const int status = giflib_rgba_frames(gif, write_frame, &out);
    DGifCloseFile(gif, &error);
    if (status != 0) fprintf(stderr, "peer_frames: cannot write the frames to %s\n", argv[2]);
    return status != 0;
}
