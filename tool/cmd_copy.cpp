// kvlzw copy: every page of a GIF read with its metadata tree and tags and
// written again, so that the copy holds the same images and blocks.
#include "decoders.h"
#include "gif_copy.h"
#include "kvhost/gif_save.h"
#include "progress.h"

namespace kvtool {
namespace {

bool copy_page(const ParsedArgs& args, const Input& input, kvhost::gif::PageReader& reader, uint32_t number,
               uint32_t pages, kvhost::gif::PageWriter* writer) {
    // The page's size is checked before its pixels are decoded.
    const kvhost::gif::PageResult described = reader.info(number);
    if (described.described && !pixels_allowed(input.name() + " page " + std::to_string(number), described.width,
                                                described.height))
        return false;
    kvhost::gif::PageResult page = reader.load(number);
    // A page whose rows all arrived is copied even when reading reported an
    // error after them, such as a missing trailer.
    if (!(page.ok() && page.image != nullptr) && !gif_page_complete(page)) {
        print_errors(page.errors);
        complain("cannot read page " + std::to_string(number) + " of " + input.name());
        return false;
    }
    print_errors(page.errors, "warning: ");
    const Interlace interlace = args.has("--interlace")      ? Interlace::kAll
                                : args.has("--no-interlace") ? Interlace::kNone
                                                             : Interlace::kKeep;
    const kvhost::gif::SaveResult saved = save_page_again(&page, number, pages, interlace, writer);
    if (!saved.ok()) {
        print_errors(saved.errors);
        complain("cannot write page " + std::to_string(number));
        return false;
    }
    return true;
}

int run_copy(const ParsedArgs& args) {
    if (args.positional.size() != 1) return usage_error("copy", "needs one IN.gif");
    if (!args.has("-o")) return usage_error("copy", "needs -o OUT.gif");
    if (args.has("--interlace") && args.has("--no-interlace"))
        return usage_error("copy", "--interlace and --no-interlace exclude each other");
    Input input;
    const bool opened = open_input(args.positional[0], &input, [&](const std::vector<uint8_t>& head) {
        if (is_gif_signature(head)) return true;
        complain(input.name() + ": not a GIF file");
        return false;
    });
    if (!opened) return kExitFailure;
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    // The pages are read in order through one reader and written through
    // one writer: each page costs its own blocks.
    kvhost::gif::PageReader reader(input.gif_source());
    const kvhost::gif::CountResult count = reader.count();
    if (count.count == 0) {
        print_errors(count.errors);
        complain(input.name() + " holds no image to copy");
        return kExitFailure;
    }
    std::vector<uint8_t> gif;
    kvhost::gif::PageWriter writer(&gif);
    // The copy being built counts against the memory budget with the pages.
    kvhost::memory::Reservation held;
    Progress progress(args, "copy", "page", count.count);
    for (uint32_t number = 1; number <= count.count; ++number) {
        if (!copy_page(args, input, reader, number, count.count, &writer)) return kExitFailure;
        if (!hold_output(&held, gif, "the copy of " + input.name())) return kExitFailure;
        progress.update(number);
    }
    std::string error;
    if (!write_whole_file(args.value("-o"), gif, &error)) {
        complain(error);
        return kExitFailure;
    }
    return kExitOk;
}

const Registration registration({
    "copy",
    "rewrite a GIF page by page with its blocks",
    "Usage: kvlzw copy IN.gif -o OUT.gif [--interlace | --no-interlace]\n"
    "\n"
    "Reads every page with its metadata and tags and writes it again: the same\n"
    "indices and palettes, screen descriptor and extension blocks in the same\n"
    "places. A page of version 89a that had no extension before its image gains\n"
    "the default graphic control extension (no transparency, no delay); a GIF87a\n"
    "whose first image has extensions before it becomes a GIF89a. A file\n"
    "without a trailer comes out with one; its reading errors show as warnings.\n"
    "IN.gif may be - for standard input, and OUT.gif - for standard output.\n"
    "\n"
    "  -o OUT.gif       the output, written in full or not at all\n"
    "  --interlace      write every page interlaced\n"
    "  --no-interlace   write every page without interlacing\n"
    "  --module PATH    load the component from PATH\n"
    KVLZW_QUIET_HELP,
    {{"-o", true}, {"--interlace", false}, {"--no-interlace", false}, kQuietOption},
    &run_copy,
    55,
});

}  // namespace
}  // namespace kvtool
