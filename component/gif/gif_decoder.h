// The GIF LZW decoder: image data of one image to rows delivered to the host.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// Reads from the minimum code size byte through the data's block terminator
// and hands every row to IO_raster_set, in interlace order when the settings
// record's interlace field is set. Truncated or corrupt data gives rows of
// zero bytes for the rows it does not reach. Returns AF_error_check().
HostStatus gif_decode_image_data(HostStream* stream, uint32_t tag, const void* settings, HostDibInfo* dib);

}  // namespace kv
