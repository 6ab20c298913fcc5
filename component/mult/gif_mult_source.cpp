// GIF multi-page source. Frame composition is not built yet: the probe
// answers that it cannot serve the stream, and creating an instance records
// an error and throws, as every failing multi-page operation does.
#include "mult/gif_mult_source.h"

#include "frame/service_table.h"

namespace kv {

namespace {

class CKVGIFMultSource final : public CKVMultSource {
public:
    bool probe(HostStream*) override { return false; }
    uint32_t format_number() override { return KV_FORMAT_GIF; }
    CKVMultInstance* create_instance(HostStream*) override {
        not_implemented(module::kMultSource, __LINE__, "GIF multi-page instance");
        throw static_cast<int64_t>(error_status());
    }
    void destroy_instance(CKVMultInstance*) override {
        record_error(module::kMultSource, __LINE__, -3380);
        throw static_cast<int64_t>(error_status());
    }
};

// Holds no data, so it is constant-initialised: nothing runs at load.
CKVGIFMultSource g_source;

}  // namespace

CKVMultSource* gif_mult_source() { return &g_source; }

}  // namespace kv
