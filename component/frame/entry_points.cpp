// The module's four exported entry points and its service table.
#include "frame/filters.h"
#include "frame/service_table.h"
#include "mult/gif_mult_source.h"
#include "tiff/named_services.h"

#include <cstring>

#define KV_EXPORT extern "C" __attribute__((visibility("default")))

namespace kv {

HostServiceTable g_host{};

namespace {

constexpr const char* kComponentName = "LZW";
constexpr uint32_t kMajor = 19;
constexpr uint32_t kMinor = 2;
constexpr uint32_t kUpdate = 0;
constexpr const char* kBuildDate = "Jul  3 2018";
constexpr const char* kDescription = "Tarsenic Ombrolux19 LZW component";

// Slot addresses in lookup order, paired with the service names.
struct ServiceSlot {
    const char* name;
    void* slot;
};

#define KV_SERVICE_SLOT(name, ret, params) {#name, reinterpret_cast<void*>(&g_host.name)},
const ServiceSlot* service_slots(size_t* count) {
    static const ServiceSlot slots[] = {KV_HOST_SERVICES(KV_SERVICE_SLOT)};
    *count = sizeof(slots) / sizeof(slots[0]);
    return slots;
}
#undef KV_SERVICE_SLOT

const AttachRecord kAttachTable[] = {
    {"TIF_Proc_LZW_Comp", reinterpret_cast<void*>(&TIF_Proc_LZW_Comp), nullptr},
    {"TIFF_LZW_Write", reinterpret_cast<void*>(&TIFF_LZW_Write), nullptr},
    {"KV_LZW_compress", reinterpret_cast<void*>(&KV_LZW_compress), nullptr},
};

}  // namespace
}  // namespace kv

using namespace kv;

KV_EXPORT HostStatus CPb_LZW_init(HostLookupFn lookup) {
    size_t count = 0;
    const ServiceSlot* slots = service_slots(&count);
    // "CORE." + the longest service name fits with room to spare.
    char full_name[96] = "CORE.";
    constexpr size_t kPrefixLength = 5;
    for (size_t i = 0; i < count; ++i) {
        std::strncpy(full_name + kPrefixLength, slots[i].name, sizeof full_name - kPrefixLength - 1);
        HostStatus status = lookup(full_name, slots[i].slot, kComponentName);
        if (status != 0) return status;
    }
    // The GIF filter's and the multi-page source's registration statuses are
    // deliberately not examined; only the raw filter's can fail the init.
    g_host.GPb_fltrm_filter_register(&gif_filter_control);
    HostStatus status = g_host.GPb_fltrm_filter_register(&raw_filter_control);
    if (status != 0) return status;
    g_host.GPb_mult_source_register(gif_mult_source());
    return 0;
}

KV_EXPORT HostStatus CPb_LZW_attach(void* context, HostOfferFn offer) {
    HostStatus status = 0;
    for (const AttachRecord& record : kAttachTable) {
        status = offer(context, record.name, record.function, record.reserved);
        if (status != 0) break;
    }
    return status;
}

KV_EXPORT HostStatus CPb_LZW_info_get(const char** name, uint32_t* major, uint32_t* minor, uint32_t* update,
                                      const char** build_date, const char** description) {
    if (name) *name = kComponentName;
    if (major) *major = kMajor;
    if (minor) *minor = kMinor;
    if (update) *update = kUpdate;
    if (build_date) *build_date = kBuildDate;
    if (description) *description = kDescription;
    return 0;
}

KV_EXPORT HostStatus CPb_LZW_done() {
    if (g_host.GPb_fltrm_filter_unregister != nullptr) {
        g_host.GPb_fltrm_filter_unregister(nullptr, KV_FORMAT_GIF);
        g_host.GPb_fltrm_filter_unregister(nullptr, KV_FORMAT_RAW_LZW);
    }
    if (g_host.GPb_mult_source_unregister != nullptr) g_host.GPb_mult_source_unregister(gif_mult_source());
    std::memset(&g_host, 0, sizeof(g_host));
    return 0;
}
