// TIFF LZW strip service. Not built yet: records an error instead of rows.
#include "frame/service_table.h"
#include "tiff/named_services.h"

namespace kv {

HostStatus TIF_Proc_LZW_Comp(HostStream*, HostTiff*, uint32_t, HostDibInfo*, uint32_t, int32_t, int32_t, uint16_t,
                             int32_t, const int16_t*, int32_t, uint32_t, int32_t, int32_t, int32_t, const uint32_t*,
                             const uint32_t*, int32_t) {
    return not_implemented(module::kTiff, __LINE__, "TIF_Proc_LZW_Comp");
}

}  // namespace kv
