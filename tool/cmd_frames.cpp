// kvlzw frames: the composed frames of an animated GIF, each with its delay,
// through the component's multi-page source.
#include "image_output.h"
#include "kvhost/gif_frames.h"
#include "progress.h"
#include "tool.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kvtool {
namespace {

using kvhost::gif_frames::Animation;
using kvhost::gif_frames::Canvas;
using kvhost::gif_frames::Outcome;
using kvhost::gif_frames::RgbaFrame;

constexpr uint64_t kUnitsPerMs = 10000;

bool failed(const Outcome& outcome, const std::string& what) {
    if (outcome.ok()) return false;
    print_errors(outcome.errors);
    complain(what);
    return true;
}

bool write_indexed(const std::string& path, OutputKind kind, const Canvas& canvas, const Animation& animation,
                   int png_level, std::string* error) {
    if (kind == OutputKind::kBin) return write_whole_file(path, canvas.pixels, error);
    PngRaster raster;
    raster.kind = PngRaster::Kind::kPalette;
    raster.width = canvas.width;
    raster.height = canvas.height;
    raster.samples = canvas.pixels;
    for (size_t i = 0; i + 3 < canvas.palette.size(); i += 4)
        raster.palette_rgb.insert(raster.palette_rgb.end(), {canvas.palette[i + 2], canvas.palette[i + 1], canvas.palette[i]});
    const size_t t = animation.transparent_index();
    if (animation.has_transparent_index() && t * 3 < raster.palette_rgb.size()) {
        raster.palette_alpha.assign(t + 1, 255);
        raster.palette_alpha[t] = 0;
    }
    return write_png(path, raster, png_level, error);
}

bool write_rgba(const std::string& path, OutputKind kind, const RgbaFrame& frame, int png_level, std::string* error) {
    const size_t bytes = size_t{frame.width} * frame.height * 4;
    if (kind == OutputKind::kBin) {
        OutputFile out(path);
        if (!out.ok() || !out.write(frame.pixels, bytes) || !out.commit()) {
            *error = out.error();
            return false;
        }
        return true;
    }
    PngRaster raster;
    raster.kind = PngRaster::Kind::kRgba;
    raster.width = frame.width;
    raster.height = frame.height;
    raster.samples.assign(frame.pixels, frame.pixels + bytes);
    return write_png(path, raster, png_level, error);
}

class FrameWriter {
public:
    FrameWriter(Animation& animation, std::string file, bool indexed, int png_level, Progress* progress = nullptr)
        : animation_(animation), file_(std::move(file)), indexed_(indexed), png_level_(png_level), progress_(progress) {}

    // Composes frame i (from 0), writes it to path and prints its line.
    bool write(uint64_t i, const std::string& path, OutputKind kind, const char* shown_at = "") {
        const std::string what = "cannot compose frame " + std::to_string(i + 1) + " of " + file_;
        std::string error;
        uint64_t delay = 0;
        bool written = false;
        if (indexed_) {
            auto canvas = animation_.frame(i);
            if (failed(canvas, what)) return false;
            auto delay_answer = animation_.frame_delay(i);
            if (failed(delay_answer, "cannot read the delay of frame " + std::to_string(i + 1))) return false;
            delay = delay_answer.value;
            written = write_indexed(path, kind, canvas.value, animation_, png_level_, &error);
        } else {
            auto frame = animation_.rgba_frame(i);
            if (failed(frame, what)) return false;
            delay = frame.value.delay;
            written = write_rgba(path, kind, frame.value, png_level_, &error);
        }
        if (!written) {
            complain(error);
            return false;
        }
        // The line goes to standard output, which a terminal shares with the
        // progress line, or to standard error when the frame went to standard output.
        if (progress_ != nullptr) progress_->wipe();
        std::FILE* line = path == "-" ? stderr : stdout;
        std::fprintf(line, "frame %llu%s: %llu ms -> %s\n", (unsigned long long)(i + 1), shown_at,
                     (unsigned long long)(delay / kUnitsPerMs), path == "-" ? "standard output" : path.c_str());
        std::fflush(line);
        if (progress_ != nullptr) progress_->update(i + 1);
        return true;
    }

private:
    Animation& animation_;
    std::string file_;
    bool indexed_;
    int png_level_;
    Progress* progress_;
};

bool set_delays(const ParsedArgs& args, Animation& animation, int* exit_code) {
    for (const char* option : {"--default-delay", "--min-delay"}) {
        if (!args.has(option)) continue;
        uint64_t ms = 0;
        if (!parse_number(args.value(option), &ms)) {
            *exit_code = usage_error("frames", std::string(option) + " needs a whole number of milliseconds");
            return false;
        }
        const Outcome set = option[2] == 'd' ? animation.set_default_delay_ms(ms) : animation.set_min_delay_ms(ms);
        if (failed(set, std::string("cannot set ") + option)) {
            *exit_code = kExitFailure;
            return false;
        }
    }
    return true;
}

std::string frame_file(const std::string& directory, uint64_t i, OutputKind kind) {
    char name[32];
    std::snprintf(name, sizeof name, "frame-%04llu.%s", (unsigned long long)(i + 1), kind == OutputKind::kBin ? "bin" : "png");
    return directory + "/" + name;
}

int write_all(FrameWriter& writer, uint64_t count, const std::string& directory, OutputKind kind) {
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
        complain("cannot create " + directory + ": " + std::strerror(errno));
        return kExitFailure;
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (!writer.write(i, frame_file(directory, i, kind), kind)) return kExitFailure;
    }
    // Frames of an earlier run into the same directory that this run did not
    // write (past its last frame, or of the other format) would pass for its own.
    const OutputKind other = kind == OutputKind::kBin ? OutputKind::kPng : OutputKind::kBin;
    for (uint64_t i = 0;; ++i) {
        const bool stale_other = std::remove(frame_file(directory, i, other).c_str()) == 0;
        const bool stale_own = i >= count && std::remove(frame_file(directory, i, kind).c_str()) == 0;
        if (i >= count && !stale_other && !stale_own) break;
    }
    return kExitOk;
}

int run_frames(const ParsedArgs& args) {
    if (args.positional.size() != 1) return usage_error("frames", "needs exactly one FILE.gif");
    const std::string out = args.value("-o");
    if (out.empty()) return usage_error("frames", "needs -o DIR, or -o OUT.png|OUT.bin with --frame or --at");
    if (args.has("--frame") && args.has("--at")) return usage_error("frames", "--frame and --at exclude each other");
    if (png_level(args) < 0) return usage_error("frames", "--png-level takes 0 to 9");
    const bool one = args.has("--frame") || args.has("--at");
    uint64_t number = 0;
    if (args.has("--frame") && (!parse_number(args.value("--frame"), &number) || number == 0))
        return usage_error("frames", "--frame needs a frame number from 1");
    if (args.has("--at") && !parse_number(args.value("--at"), &number))
        return usage_error("frames", "--at needs a whole number of milliseconds");
    if (out == "-" && !one)
        return usage_error("frames", "-o - writes one frame to standard output: give --frame N or --at MS "
                                     "(all frames go to a directory, -o DIR)");
    // A directory's files, and one frame on standard output, take their format from --format.
    const OutputKind kind = output_kind(one && out != "-" ? out : "x." + args.value("--format", "png"));
    if (kind == OutputKind::kUnknown)
        return usage_error("frames", one ? "OUT must end in .png or .bin" : "--format is png or bin");

    // Nothing is composed on a screen larger than the tool takes: the
    // screen's size is checked on the first bytes, before the animation
    // opens (which decodes the first frame).
    Input input;
    const bool read = open_input(args.positional[0], &input, [&](const std::vector<uint8_t>& head) {
        if (!is_gif_signature(head) || head.size() < 10) {
            complain(input.name() + ": not a GIF file");
            return false;
        }
        return pixels_allowed(input.name(), head[6] | head[7] << 8, head[8] | head[9] << 8);
    });
    if (!read) return kExitFailure;
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    const std::string file = input.name();
    Outcome opened;
    auto animation = Animation::open(input.gif_source(), &opened);
    if (animation == nullptr) {
        failed(opened, "cannot open " + file + " as an animated GIF");
        return kExitFailure;
    }
    int exit_code = kExitOk;
    if (!set_delays(args, *animation, &exit_code)) return exit_code;
    auto count = animation->page_count();
    if (failed(count, "cannot count the frames of " + file)) return kExitFailure;

    if (!one) {
        Progress progress(args, "frames", "frame", count.value);
        FrameWriter all(*animation, file, args.has("--indexed"), png_level(args), &progress);
        return write_all(all, count.value, out, kind);
    }
    FrameWriter writer(*animation, file, args.has("--indexed"), png_level(args));
    uint64_t index = number - 1;
    std::string shown_at;
    if (args.has("--at")) {
        auto at = animation->frame_at_time(number);
        if (failed(at, "cannot tell the frame shown at " + std::to_string(number) + " ms")) return kExitFailure;
        index = at.value;
        shown_at = " (shown at " + std::to_string(number) + " ms)";
    } else if (index >= count.value) {
        complain(file + " has " + std::to_string(count.value) + " frames");
        return kExitFailure;
    }
    return writer.write(index, out, kind, shown_at.c_str()) ? kExitOk : kExitFailure;
}

const Registration frames_registration({
    "frames",
    "write the composed frames of an animated GIF, with their delays",
    "Usage: kvlzw frames FILE.gif -o DIR [--format png|bin] [--indexed] [--default-delay MS] [--min-delay MS]\n"
    "       kvlzw frames FILE.gif --frame N -o OUT.png|OUT.bin [--indexed]\n"
    "       kvlzw frames FILE.gif --at MS -o OUT.png|OUT.bin [--indexed]\n"
    "\n"
    "Composes the frames of FILE.gif as a viewer shows them (on the logical screen,\n"
    "transparent where no frame has drawn; each frame through its own colour table,\n"
    "its transparent pixels leaving what was there; disposal methods applied) and\n"
    "writes them, printing one line per frame with its delay in milliseconds.\n"
    "\n"
    "  -o DIR          every frame as DIR/frame-0001.png, frame-0002.png, ...\n"
    "                  (frame files of an earlier run that this one did not\n"
    "                  write are removed)\n"
    "                  (DIR is created when missing)\n"
    "  --format F      png (default): an RGBA PNG; bin: 4 bytes a pixel (R, G, B, A),\n"
    "                  rows top to bottom\n"
    "  --frame N       only frame N, counted from 1, to OUT.png or OUT.bin\n"
    "  --at MS         only the frame shown MS milliseconds into the animation\n"
    "  --indexed       the component's indexed canvas instead, which keeps the first\n"
    "                  frame's palette: a palette PNG (tRNS for the first frame's\n"
    "                  transparent index), or one palette index a byte\n"
    "  --default-delay MS  the delay of frames whose own delay is too short;\n"
    "                  default 100\n"
    "  --min-delay MS  delays up to this long count as the default; default 10\n"
    "  --png-level N   zlib level of PNG output, 0 (none) to 9 (smallest file)\n"
    "  --module PATH   load the component from PATH\n"
    KVLZW_QUIET_HELP
    "\n"
    "FILE.gif may be - for standard input. With --frame or --at, -o - writes the\n"
    "frame to standard output in the --format given (png by default). A screen of\n"
    "more than --max-pixels pixels is refused, and the canvas counts against\n"
    "--max-memory.\n",
    {{"-o", true}, {"--format", true}, {"--frame", true}, {"--at", true}, {"--default-delay", true},
     {"--min-delay", true}, {"--png-level", true}, {"--indexed", false}, kQuietOption},
    &run_frames,
    45,
});

}  // namespace
}  // namespace kvtool
