/* The baseline for the whole-process encode benchmark: reads a palette PNG
 * with libpng and writes it as a GIF89a with giflib, row by row.
 * Usage: compare_encode IN.png OUT.gif */
#include <gif_lib.h>
#include <png.h>

#include <stdio.h>
#include <stdlib.h>

static int fail(const char *message) {
    fprintf(stderr, "compare_encode: %s\n", message);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage: compare_encode IN.png OUT.gif");
    FILE *in = fopen(argv[1], "rb");
    if (in == NULL) return fail("cannot open the PNG");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) return fail("cannot read the PNG");
    png_init_io(png, in);
    png_read_info(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE) return fail("needs a palette PNG");
    png_set_packing(png);
    png_read_update_info(png, info);
    const int width = (int)png_get_image_width(png, info);
    const int height = (int)png_get_image_height(png, info);
    png_colorp colours;
    int entries;
    png_get_PLTE(png, info, &colours, &entries);

    int depth = 1;
    while ((1 << depth) < entries) ++depth;
    ColorMapObject *map = GifMakeMapObject(1 << depth, NULL);
    for (int i = 0; i < entries; ++i) {
        map->Colors[i].Red = colours[i].red;
        map->Colors[i].Green = colours[i].green;
        map->Colors[i].Blue = colours[i].blue;
    }
    int error = 0;
    GifFileType *gif = EGifOpenFileName(argv[2], false, &error);
    if (gif == NULL) return fail("cannot create the GIF");
    EGifSetGifVersion(gif, true);
    const GifByteType control[4] = {0, 0, 0, 0};
    GifByteType *row = malloc((size_t)width);
    if (row == NULL || EGifPutScreenDesc(gif, width, height, depth, 0, map) != GIF_OK ||
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_OK ||
        EGifPutImageDesc(gif, 0, 0, width, height, false, NULL) != GIF_OK)
        return fail("cannot write the GIF");
    for (int y = 0; y < height; ++y) {
        png_read_row(png, row, NULL);
        if (EGifPutLine(gif, row, width) != GIF_OK) return fail("cannot write the GIF");
    }
    png_read_end(png, NULL);
    png_destroy_read_struct(&png, &info, NULL);
    fclose(in);
    free(row);
    GifFreeMapObject(map);
    if (EGifCloseFile(gif, &error) != GIF_OK) return fail("cannot finish the GIF");
    return 0;
}
