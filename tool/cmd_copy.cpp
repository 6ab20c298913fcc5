// kvlzw copy: every page of a GIF read with its metadata tree and tags and
// written again, so that the copy holds the same images and blocks.
#include "decoders.h"
#include "kvhost/gif_save.h"

namespace kvtool {
namespace {

constexpr uint32_t kImageDescriptorGroup = 44;
constexpr uint32_t kGraphicControl = 249, kPlainText = 1, kComment = 254, kApplication = 255;

// Whether an extension block stands between the previous image (or the
// screen descriptor) and this page's image.
bool has_blocks_before_image(const kvhost::MetadataNode& tree) {
    const kvhost::MetadataNode* gif = tree.child("GIF", KV_FORMAT_GIF);
    if (gif == nullptr) return false;
    for (const kvhost::MetadataNode& node : gif->children) {
        if (node.id == kImageDescriptorGroup) return false;
        if (node.id == kGraphicControl || node.id == kPlainText || node.id == kComment || node.id == kApplication)
            return true;
    }
    return false;
}

bool copy_page(const ParsedArgs& args, kvhost::gif::PageReader& reader, uint32_t number, uint32_t pages,
               kvhost::gif::PageWriter* writer) {
    kvhost::gif::PageResult page = reader.load(number);
    // A page whose rows all arrived is copied even when reading reported an
    // error after them, such as a missing trailer.
    if (!(page.ok() && page.image != nullptr) && !gif_page_complete(page)) {
        print_errors(page.errors);
        complain("cannot read page " + std::to_string(number) + " of " + args.positional[0]);
        return false;
    }
    print_errors(page.errors, "warning: ");
    if (number < pages) kvhost::gif::drop_after_image_extensions(&page.metadata, &page.tags);
    kvhost::gif::SaveOptions options;
    options.append = number > 1;
    // Version 87a pages are written without the blocks before their image;
    // a page that has some is written as 89a, so that they are kept (under
    // an 87a header they stand where they stood).
    options.version = page.settings.version == 87 && !has_blocks_before_image(page.metadata) ? 87 : 89;
    options.interlace = args.has("--interlace") || (page.settings.interlace != 0 && !args.has("--no-interlace"));
    options.metadata = &page.metadata;
    options.tags = &page.tags;
    const kvhost::gif::SaveResult saved = writer->save(kvhost::gif::SaveImage::from_loaded(*page.image), options);
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
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    // The pages are read in order through one reader: each costs its own blocks.
    kvhost::gif::PageReader reader(kvhost::gif::Source::file(args.positional[0]));
    const kvhost::gif::CountResult count = reader.count();
    if (count.count == 0) {
        print_errors(count.errors);
        complain(args.positional[0] + " holds no image to copy");
        return kExitFailure;
    }
    std::vector<uint8_t> gif;
    kvhost::gif::PageWriter writer(&gif);
    for (uint32_t number = 1; number <= count.count; ++number) {
        if (!copy_page(args, reader, number, count.count, &writer)) return kExitFailure;
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
    "\n"
    "  -o OUT.gif       the output, written in full or not at all\n"
    "  --interlace      write every page interlaced\n"
    "  --no-interlace   write every page without interlacing\n"
    "  --module PATH    load the component from PATH\n",
    {{"-o", true}, {"--interlace", false}, {"--no-interlace", false}},
    &run_copy,
    55,
});

}  // namespace
}  // namespace kvtool
