#include "gif_copy.h"

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

}  // namespace

kvhost::gif::SaveResult save_page_again(kvhost::gif::PageResult* page, uint32_t number, uint32_t pages,
                                        Interlace interlace, kvhost::gif::PageWriter* writer) {
    if (number < pages) kvhost::gif::drop_after_image_extensions(&page->metadata, &page->tags);
    kvhost::gif::SaveOptions options;
    options.append = number > 1;
    // Version 87a pages are written without the blocks before their image;
    // a page that has some is written as 89a, so that they are kept (under
    // an 87a header they stand where they stood).
    options.version = page->settings.version == 87 && !has_blocks_before_image(page->metadata) ? 87 : 89;
    options.interlace = interlace == Interlace::kAll || (page->settings.interlace != 0 && interlace == Interlace::kKeep);
    options.metadata = &page->metadata;
    options.tags = &page->tags;
    return writer->save(kvhost::gif::SaveImage::from_loaded(*page->image), options);
}

}  // namespace kvtool
