// kvlzw encode: PNG images become the pages of a GIF, the first a new file
// and the rest appended, or all appended to an existing GIF.
#include "gif_extensions.h"
#include "indexed_colours.h"
#include "kvhost/gif_save.h"
#include "kvhost/mapped_file.h"
#include "kvhost/memory.h"
#include "png_header.h"
#include "png_input.h"
#include "progress.h"
#include "tool.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kvtool {
namespace {

struct EncodeRequest {
    std::vector<std::string> inputs;
    std::string output;
    bool append = false;
    bool dither = true;
    kvhost::gif::SaveOptions options;
    PageExtensions extensions;  // the looping extension and comment go on the first page written
};

bool number_option(const ParsedArgs& args, const char* name, uint64_t largest, uint64_t* value) {
    return !args.has(name) || (parse_number(args.value(name), value) && *value <= largest);
}

// Fills the request; returns 0 or the usage error's exit code.
int parse_request(const ParsedArgs& args, EncodeRequest* request) {
    if (args.positional.empty()) return usage_error("encode", "needs at least one IN.png");
    if (!args.has("-o")) return usage_error("encode", "needs -o OUT.gif");
    uint64_t delay = 0, disposal = 0, loops = 0;
    if (!number_option(args, "--delay", 65535, &delay))
        return usage_error("encode", "--delay takes hundredths of a second, 0 to 65535");
    if (!number_option(args, "--disposal", 7, &disposal)) return usage_error("encode", "--disposal takes 0 to 7");
    if (!number_option(args, "--loop", 65535, &loops))
        return usage_error("encode", "--loop takes a count from 0 (for ever) to 65535");
    const bool gif87a = args.has("--gif87a");
    for (const char* option : {"--delay", "--disposal", "--loop", "--comment"}) {
        if (gif87a && args.has(option))
            return usage_error("encode", std::string(option) + " needs an extension block, which GIF87a has not");
    }
    request->append = args.has("--append");
    if (request->append && args.has("--loop"))
        return usage_error("encode", "--loop belongs on a new file's first page, not with --append");
    if (request->append && args.value("-o") == "-")
        return usage_error("encode", "--append needs an existing OUT.gif, not standard output");
    request->inputs = args.positional;
    if (std::count(request->inputs.begin(), request->inputs.end(), "-") > 1)
        return usage_error("encode", "standard input (-) can be read once only");
    request->output = args.value("-o");
    request->dither = !args.has("--no-dither");
    request->options.version = gif87a ? 87 : 89;
    request->options.interlace = args.has("--interlace");
    request->extensions.delay = static_cast<uint16_t>(delay);
    request->extensions.disposal = static_cast<uint8_t>(disposal);
    if (args.has("--loop")) request->extensions.loop_count = static_cast<uint16_t>(loops);
    if (args.has("--comment")) request->extensions.comment = args.value("--comment");
    return 0;
}

bool read_input(const EncodeRequest& request, const std::string& path, IndexedImage* indexed) {
    Input input;
    uint64_t needed = 0;
    const bool opened = open_input(path, &input, [&](const std::vector<uint8_t>& head) {
        needed = png_decoding_bytes(head, input.name());
        return needed != 0;
    });
    if (!opened) return false;
    // The decoded image counts against the memory budget with the save.
    kvhost::memory::Reservation decoding;
    if (!decoding.reserve(needed)) {
        const uint64_t limit = kvhost::memory::operation_limit();
        const uint64_t free = limit - std::min(limit, kvhost::memory::operation_bytes());
        complain(input.name() + ": decoding needs " + std::to_string(needed) + " bytes, " +
                 std::to_string(needed - free) + " more than the memory budget of " + std::to_string(limit) +
                 " bytes leaves (--max-memory raises it)");
        return false;
    }
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!input.whole(&data, &size)) return false;
    PngRaster raster;
    std::string error;
    if (!read_png(data, size, input.name(), &raster, &error) ||
        !index_colours(std::move(raster), request.dither, indexed, &error)) {
        complain(error);
        return false;
    }
    if (indexed->transparent && request.options.version == 87)
        complain("warning: " + input.name() + " has transparent pixels, which GIF87a cannot show");
    return true;
}

// The existing GIF to append to; anything else is refused rather than overwritten.
bool read_existing_gif(const std::string& path, std::vector<uint8_t>* bytes) {
    const kvhost::MappedFile existing(path);
    if (!existing.ok()) {
        complain(existing.error());
        return false;
    }
    bytes->assign(existing.data(), existing.data() + existing.size());
    if (bytes->size() < 6 || (std::memcmp(bytes->data(), "GIF87a", 6) != 0 && std::memcmp(bytes->data(), "GIF89a", 6) != 0)) {
        complain(path + " is not a GIF file to append to");
        return false;
    }
    return true;
}

uint16_t word_at(const std::vector<uint8_t>& gif, size_t at) { return static_cast<uint16_t>(gif[at] | gif[at + 1] << 8); }

// The logical screen's width and height fields (a GIF holds at least its header here).
constexpr size_t kScreenWidthAt = 6, kScreenHeightAt = 8;

// One input at a time, so that only one decoded image is held. A new file's
// screen grows to hold every page (its size fields are rewritten once all
// are written); a page appended to an existing file must fit its screen.
bool encode_pages(const ParsedArgs& args, const EncodeRequest& request, std::vector<uint8_t>* gif) {
    const bool existing = request.append && gif->size() >= 10;
    const uint16_t screen_width = existing ? word_at(*gif, kScreenWidthAt) : 0;
    const uint16_t screen_height = existing ? word_at(*gif, kScreenHeightAt) : 0;
    uint32_t widest = 0, tallest = 0;
    kvhost::gif::PageWriter writer(gif);
    kvhost::memory::Reservation held;
    Progress progress(args, "encode", "page", request.inputs.size());
    for (size_t i = 0; i < request.inputs.size(); ++i) {
        progress.update(i);
        IndexedImage indexed;
        if (!read_input(request, request.inputs[i], &indexed)) return false;
        if (existing && (indexed.width > screen_width || indexed.height > screen_height)) {
            complain(request.inputs[i] + " is " + std::to_string(indexed.width) + "x" + std::to_string(indexed.height) +
                     ", larger than the " + std::to_string(screen_width) + "x" + std::to_string(screen_height) +
                     " logical screen of " + request.output + " it would be appended to");
            return false;
        }
        widest = std::max(widest, indexed.width);
        tallest = std::max(tallest, indexed.height);
        PageExtensions extensions = request.extensions;
        if (i != 0) {
            extensions.loop_count.reset();
            extensions.comment.reset();
        }
        extensions.transparent = indexed.transparent;
        const kvhost::MetadataNode metadata = page_metadata(extensions);
        kvhost::gif::SaveOptions options = request.options;
        options.append = request.append || i != 0;
        // GIF87a has no extension blocks to carry the metadata.
        if (options.version != 87) options.metadata = &metadata;
        const kvhost::gif::SaveResult result = writer.save(save_image_of(std::move(indexed)), options);
        if (!result.ok()) {
            print_errors(result.errors);
            complain("cannot encode " + request.inputs[i]);
            return false;
        }
        if (!hold_output(&held, *gif, request.output)) return false;
    }
    if (!request.append) {
        // Pages are at most 65535 on a side: the save refuses larger ones.
        const uint8_t size[4] = {static_cast<uint8_t>(widest), static_cast<uint8_t>(widest >> 8),
                                 static_cast<uint8_t>(tallest), static_cast<uint8_t>(tallest >> 8)};
        std::memcpy(gif->data() + kScreenWidthAt, size, sizeof size);
    }
    return true;
}

int run_encode(const ParsedArgs& args) {
    EncodeRequest request;
    if (int usage = parse_request(args, &request); usage != 0) return usage;
    std::vector<uint8_t> gif;
    if (request.append && !read_existing_gif(request.output, &gif)) return kExitFailure;
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    if (!encode_pages(args, request, &gif)) return kExitFailure;
    std::string error;
    if (!write_whole_file(request.output, gif, &error)) {
        complain(error);
        return kExitFailure;
    }
    return kExitOk;
}

const Registration registration({
    "encode",
    "PNG images as the pages of a GIF",
    "Usage: kvlzw encode IN.png [IN2.png ...] -o OUT.gif [options]\n"
    "\n"
    "Each PNG (any colour type and depth) becomes one page: the first starts a\n"
    "new file, the others are appended to it; a new file's logical screen\n"
    "holds the largest page, and a page appended with --append must fit the\n"
    "existing screen. Fully transparent pixels become\n"
    "the transparent index; other alpha is dropped. Images of 256 colours or\n"
    "fewer keep their exact colours (palette images their indices); larger ones\n"
    "are quantized to 256 colours. IN.png may be - for standard input, and\n"
    "OUT.gif - for standard output (not with --append).\n"
    "\n"
    "  -o OUT.gif       the output, written in full or not at all\n"
    "  --append         append every page to the existing GIF OUT.gif (which is\n"
    "                   left as it was when anything fails)\n"
    "  --interlace      interlaced image data\n"
    "  --gif87a         write version 87a (no extension blocks)\n"
    "  --delay CS       each page's delay, hundredths of a second\n"
    "  --disposal N     each page's disposal method, 0 to 7\n"
    "  --loop N         loop the animation N times (0: for ever); new files only\n"
    "  --comment TEXT   a comment block before the first page written\n"
    "  --no-dither      quantize without dithering\n"
    "  --module PATH    load the component from PATH\n"
    KVLZW_QUIET_HELP,
    {kQuietOption,
     {"-o", true},
     {"--append", false},
     {"--interlace", false},
     {"--gif87a", false},
     {"--delay", true},
     {"--disposal", true},
     {"--loop", true},
     {"--comment", true},
     {"--no-dither", false}},
    &run_encode,
    50,
});

}  // namespace
}  // namespace kvtool
