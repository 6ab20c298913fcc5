// TIFF LZW compression. Not built yet: records an error instead of output.
#include "frame/service_table.h"
#include "tiff/named_services.h"

namespace kv {

HostStatus KV_LZW_compress(uint32_t, const uint8_t*, int32_t, uint8_t** output, uint32_t* output_length) {
    if (output != nullptr) *output = nullptr;
    if (output_length != nullptr) *output_length = 0;
    return not_implemented(module::kTiff, __LINE__, "KV_LZW_compress");
}

HostStatus TIFF_LZW_Write(HostStream*, uint32_t, const uint8_t*, uint32_t*) {
    return not_implemented(module::kTiff, __LINE__, "TIFF_LZW_Write");
}

}  // namespace kv
