// kvlzw decode and kvlzw info: pick the format's half by the file's first
// bytes (or --raw for headerless LZW data).
#include "decoders.h"
#include "image_output.h"

#include <cstdio>
#include <cstring>

namespace kvtool {

FileKind sniff(const std::vector<uint8_t>& head) {
    const size_t n = head.size();
    if (is_gif_signature(head)) return FileKind::kGif;
    if (n >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                   (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42)))
        return FileKind::kTiff;
    return FileKind::kUnknown;
}

namespace {

using Half = int (*)(const ParsedArgs&, const Input&);

const char* const kRawOptions[] = {"--width", "--height", "--bpp", "--fill-order", "--align"};

// An option given that the input's format has no use for, or "".
std::string misplaced_option(const ParsedArgs& args, FileKind kind, bool raw) {
    if (!raw) {
        for (const char* option : kRawOptions) {
            if (args.has(option)) return std::string(option) + " applies to --raw only";
        }
    }
    if (args.has("--page") && (raw || kind == FileKind::kTiff)) return "--page applies to GIF files only";
    if (args.has("--directory") && (raw || kind == FileKind::kGif)) return "--directory applies to TIFF files only";
    if (args.has("--strict") && raw) return "--strict applies to GIF and TIFF files only";
    if (args.has("--partial") && (raw || kind == FileKind::kTiff)) return "--partial applies to GIF files only";
    return "";
}

int dispatch(const char* command, const ParsedArgs& args, Half gif, Half tiff, Half raw) {
    if (args.positional.size() != 1) return usage_error(command, "needs exactly one FILE");
    const bool is_raw = raw != nullptr && args.has("--raw");
    if (is_raw) {
        const std::string misplaced = misplaced_option(args, FileKind::kUnknown, true);
        if (!misplaced.empty()) return usage_error(command, misplaced);
    }
    // The format is told from the first bytes before the rest is read, so
    // that a device or a stream of something else is refused at once.
    Input input;
    FileKind kind = FileKind::kUnknown;
    int refusal = kExitFailure;
    const bool opened = open_input(args.positional[0], &input, [&](const std::vector<uint8_t>& head) {
        if (is_raw) return true;
        kind = sniff(head);
        const std::string misplaced = misplaced_option(args, kind, false);
        if (!misplaced.empty()) {
            refusal = usage_error(command, misplaced);
            return false;
        }
        if (kind != FileKind::kUnknown) return true;
        complain(input.name() + ": not a GIF or TIFF file" +
                 std::string(std::strcmp(command, "decode") == 0 ? " (headerless LZW data needs --raw)" : ""));
        return false;
    });
    if (!opened) return refusal;
    if (is_raw) return raw(args, input);
    return kind == FileKind::kGif ? gif(args, input) : tiff(args, input);
}

int run_decode(const ParsedArgs& args) {
    if (png_level(args) < 0) return usage_error("decode", "--png-level takes 0 to 9");
    return dispatch("decode", args, &decode_gif, &decode_tiff, &decode_raw);
}

int run_info(const ParsedArgs& args) { return dispatch("info", args, &info_gif, &info_tiff, nullptr); }

const Registration decode_registration({
    "decode",
    "decode a GIF page, an LZW TIFF or a raw LZW raster to PNG or .bin",
    "Usage: kvlzw decode FILE [--page N] -o OUT.png|OUT.bin\n"
    "       kvlzw decode FILE.tif [--directory N] -o OUT.png|OUT.bin\n"
    "       kvlzw decode FILE --raw --width W --height H --bpp B [--fill-order F]\n"
    "                    [--align A] -o OUT.png|OUT.bin\n"
    "\n"
    "Decodes FILE through the component and writes the image. The format is told\n"
    "by the file's first bytes; --raw reads headerless LZW data whose geometry the\n"
    "options give. FILE - reads standard input; -o - writes standard output in\n"
    "the format --format png|bin names. Options of another format are refused.\n"
    "\n"
    "  -o OUT          .png: a PNG (palette with tRNS for a transparent GIF index;\n"
    "                  grey, grey+alpha, RGB or RGBA, 8 or 16 bits for TIFF and raw)\n"
    "                  .bin: the bare samples, rows top to bottom, no header:\n"
    "                    GIF: one palette index per byte, whatever the depth;\n"
    "                    TIFF and raw: the rows as delivered to the host, back to\n"
    "                    back (1 bit: 8 pixels a byte, most significant first;\n"
    "                    up to 8 bits: a byte per sample; more: a little-endian\n"
    "                    16-bit word per sample)\n"
    "  --page N        GIF page, counted from 1 (0 means 1); default 1\n"
    "  --strict        fail on any error the load reports; by default a GIF page\n"
    "                  whose rows all arrived is written and the errors read after\n"
    "                  it (a missing trailer, data cut short) are shown as warnings,\n"
    "                  and a TIFF whose strips are damaged is written with a\n"
    "                  warning per strip\n"
    "  --partial       write a GIF page whose LZW data ends before its last\n"
    "                  pixel (the rows it lacks are zero), with a warning; by\n"
    "                  default such a page is not written and decode exits 1\n"
    "  --directory N   TIFF image file directory, counted from 0; default 0\n"
    "  --raw           FILE is a headerless LZW raster:\n"
    "  --width W, --height H, --bpp B (1 to 16 grey; 24 RGB, 32 RGBA; 48, 64 the\n"
    "                  same of 16-bit samples), --fill-order F (1 or 2; default 0\n"
    "                  which reads like 2 for 16-bit byte order), --align A (row\n"
    "                  alignment in bytes; default 1)\n"
    "  --png-level N   zlib level of PNG output, 0 (none) to 9 (smallest file);\n"
    "                  default 1, fast\n"
    "  --format png|bin  the image format written to -o - (standard output)\n"
    "  --module PATH   load the component from PATH\n",
    {{"-o", true}, {"--png-level", true}, {"--page", true}, {"--strict", false}, {"--partial", false}, {"--directory", true}, {"--raw", false}, {"--width", true}, {"--height", true},
     {"--bpp", true}, {"--fill-order", true}, {"--align", true}},
    &run_decode,
    40,
});

const Registration info_registration({
    "info",
    "describe a GIF page or an LZW TIFF: geometry, metadata, tags",
    "Usage: kvlzw info FILE [--page N] [--json]\n"
    "       kvlzw info FILE.tif [--directory N] [--json]\n"
    "\n"
    "GIF: version, logical screen, page count, and for the page its geometry,\n"
    "position, depth, palette size, interlace, transparency, delay, disposal and\n"
    "background index, then the metadata tree and the tags that the reader set.\n"
    "TIFF: the image's geometry and the tag values handed to the strip service.\n"
    "\n"
    "  --page N        GIF page, counted from 1 (0 means 1); default 1\n"
    "  --directory N   TIFF image file directory, counted from 0; default 0\n"
    "  --json          print one JSON object instead\n"
    "  --module PATH   load the component from PATH\n",
    {{"--page", true}, {"--directory", true}, {"--json", false}},
    &run_info,
    35,
});

}  // namespace
}  // namespace kvtool
