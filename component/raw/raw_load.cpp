// Raw LZW load. Not built yet: records an error rather than loading nothing.
#include "frame/service_table.h"
#include "raw/raw_load.h"

namespace kv {

HostStatus raw_lzw_load(HostStream*, void*) {
    return not_implemented(module::kRaw, __LINE__, "raw LZW load");
}

}  // namespace kv
