// Loading of one headerless LZW raster (op 12 of the raw filter).
#pragma once

#include "kvlzw/abi.h"

namespace kv {

HostStatus raw_lzw_load(HostStream* stream, void* settings);

}  // namespace kv
