// The GIF multi-page source: one static object for the module's lifetime.
#pragma once

#include "kvlzw/abi.h"

namespace kv {

// The handle under which the host knows the source.
CKVMultSource* gif_mult_source();

}  // namespace kv
