// The started component's GIF filter as the application calls see it.
#pragma once

#include "kvlzw/abi.h"

namespace kvhost::gif {

// The GIF filter's entry for the operation, or null (with an error record).
void* gif_entry(int32_t op, HostStatus* status);
// The GIF filter's default settings record.
GifSettings default_settings();

}  // namespace kvhost::gif
