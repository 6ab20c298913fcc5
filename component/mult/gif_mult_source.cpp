// The GIF multi-page source: tells GIF streams apart and makes and destroys
// the instances that serve their frames.
#include "mult/gif_mult_source.h"

#include "frame/filters.h"
#include "mult/gif_mult_instance.h"
#include "mult/mult_failure.h"

#include <new>

namespace kv {

namespace {

constexpr int32_t kErrNoInstance = -3380;
constexpr uint32_t kOpenForReading = 0x80000000u;
constexpr uint64_t kProbeBytes = 256;

class CKVGIFMultSource final : public CKVMultSource {
public:
    bool probe(HostStream* stream) override {
        const char* name = reinterpret_cast<HostStreamDescriptor*>(stream)->file_name;
        const bool named = name != nullptr && name[0] != '\0';
        if (named && g_host.IO_open(stream, name, kOpenForReading) < 0) return false;
        uint8_t bytes[kProbeBytes];
        const uint64_t n = g_host.IO_read(stream, bytes, kProbeBytes);
        const int32_t is_gif = gif_signature_test(nullptr, bytes, static_cast<uint32_t>(n));
        if (named) g_host.IO_close(stream);
        if (error_status() != 0) {
            g_host.AF_error_clear();
            return false;
        }
        return is_gif != 0;
    }

    uint32_t format_number() override { return KV_FORMAT_GIF; }

    CKVMultInstance* create_instance(HostStream* stream) override {
        auto* instance = new (std::nothrow) CKVGIFMultInstance;
        if (instance == nullptr) fail(__LINE__, err::kNoMemory, 0, sizeof(CKVGIFMultInstance));
        try {
            instance->open(stream);
        } catch (...) {
            delete instance;
            throw;
        }
        return instance;
    }

    void destroy_instance(CKVMultInstance* instance) override {
        if (instance == nullptr) fail(__LINE__, kErrNoInstance);
        delete static_cast<CKVGIFMultInstance*>(instance);
    }
};

// Holds no data, so it is constant-initialised: nothing runs at load.
CKVGIFMultSource g_source;

}  // namespace

CKVMultSource* gif_mult_source() { return &g_source; }

}  // namespace kv
