/* giflib's side of the whole-process comparison: page N of a GIF (from 1)
 * as raw indices, one byte per pixel, rows top to bottom. Earlier images are
 * walked past without decoding them, as giflib's record interface allows.
 *
 * usage: peer_gif IN.gif PAGE OUT.bin */
#include <gif_lib.h>

#include <stdio.h>
#include <stdlib.h>

static int fail(const char* what) {
    fprintf(stderr, "peer_gif: %s\n", what);
    return 1;
}

static int skip_image_data(GifFileType* gif) {
    int code_size = 0;
    GifByteType* block = NULL;
    if (DGifGetCode(gif, &code_size, &block) != GIF_OK) return 0;
    while (block != NULL) {
        if (DGifGetCodeNext(gif, &block) != GIF_OK) return 0;
    }
    return 1;
}

static int skip_extension(GifFileType* gif) {
    int code = 0;
    GifByteType* block = NULL;
    if (DGifGetExtension(gif, &code, &block) != GIF_OK) return 0;
    while (block != NULL) {
        if (DGifGetExtensionNext(gif, &block) != GIF_OK) return 0;
    }
    return 1;
}

static int write_page(GifFileType* gif, const char* out_path) {
    const int width = gif->Image.Width, height = gif->Image.Height;
    GifPixelType* pixels = malloc((size_t)width * height);
    if (pixels == NULL) return 0;
    static const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
    const int passes = gif->Image.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int first = passes == 1 ? 0 : start[pass], stride = passes == 1 ? 1 : step[pass];
        for (int y = first; y < height; y += stride) {
            if (DGifGetLine(gif, pixels + (size_t)y * width, width) != GIF_OK) {
                free(pixels);
                return 0;
            }
        }
    }
    FILE* out = fopen(out_path, "wb");
    const int ok = out != NULL && fwrite(pixels, 1, (size_t)width * height, out) == (size_t)width * height;
    free(pixels);
    return out != NULL && fclose(out) == 0 && ok;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: peer_gif IN.gif PAGE OUT.bin\n");
        return 2;
    }
    const int page = atoi(argv[2]) < 1 ? 1 : atoi(argv[2]);
    int error = 0;
    GifFileType* gif = DGifOpenFileName(argv[1], &error);
    if (gif == NULL) return fail("cannot open the file");
    int seen = 0, written = 0;
    GifRecordType record;
    do {
        if (DGifGetRecordType(gif, &record) != GIF_OK) break;
        if (record == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) != GIF_OK) break;
            if (++seen == page) {
                written = write_page(gif, argv[3]);
                break;
            }
            if (!skip_image_data(gif)) break;
        } else if (record == EXTENSION_RECORD_TYPE) {
            if (!skip_extension(gif)) break;
        }
    } while (record != TERMINATE_RECORD_TYPE);
    DGifCloseFile(gif, &error);
    return written ? 0 : fail("page not read");
}
