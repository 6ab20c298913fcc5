// GIF writing. Not built yet: saving records an error instead of pretending.
#include "frame/service_table.h"
#include "gif/gif_entries.h"

namespace kv {

HostStatus GIF_image_save(HostStream*, void*, uint32_t, void*, uint32_t) {
    return not_implemented(module::kGifWrite, __LINE__, "GIF image save");
}

}  // namespace kv
