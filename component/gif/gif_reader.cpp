// GIF reading entries. Not built yet: each records an error so that no caller
// mistakes it for a successful read.
#include "frame/service_table.h"
#include "gif/gif_entries.h"

namespace kv {

HostStatus GIF_page_info(HostStream*, HostDibInfo** dib_out, uint32_t*, void*, uint32_t) {
    if (dib_out != nullptr) *dib_out = nullptr;
    return not_implemented(module::kGifRead, __LINE__, "GIF page information");
}

HostStatus GIF_image_load(HostStream*, void*, uint32_t) {
    return not_implemented(module::kGifRead, __LINE__, "GIF image load");
}

HostStatus GIF_page_count(HostStream*, void*, uint32_t*) {
    return not_implemented(module::kGifRead, __LINE__, "GIF page count");
}

}  // namespace kv
