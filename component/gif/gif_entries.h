// Entry points of the GIF filter that the control entry hands to the host.
#pragma once

#include "kvlzw/abi.h"

namespace kv {

// Op 11: describes a page without decoding its pixels.
HostStatus GIF_page_info(HostStream* stream, HostDibInfo** dib_out, uint32_t* value_out, void* settings,
                         uint32_t page);
// Op 12: loads one page into the host.
HostStatus GIF_image_load(HostStream* stream, void* settings, uint32_t page);
// Op 14: counts the pages.
HostStatus GIF_page_count(HostStream* stream, void* ignored, uint32_t* count_out);
// Op 13: saves one image.
HostStatus GIF_image_save(HostStream* stream, void* settings, uint32_t page_mode, void* reserved,
                          uint32_t conversion);

}  // namespace kv
