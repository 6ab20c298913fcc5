// TIFF LZW decoding. Not built yet: records an error instead of output.
#include "tiff/tif_lzw_decode.h"

#include "frame/service_table.h"

namespace kv {

HostStatus TIF_LZW_decode(HostStream*, uint8_t*, int32_t, uint16_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*,
                          uint32_t* out_count, uint16_t) {
    if (out_count != nullptr) *out_count = 0;
    return not_implemented(module::kTiff, __LINE__, "TIF_LZW_decode");
}

}  // namespace kv
