// Registration services (GPb_fltrm_filter_*, GPb_mult_source_*) and the
// registry of named services offered at attach.
#include "kvhost/errors.h"
#include "kvhost/registry.h"
#include "service_impl.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace kvhost {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<RegisteredFilter> filters;
    std::vector<void*> mult_sources;
    std::map<std::string, void*> named_services;
    std::map<uint32_t, HostStatus> failing_formats;
};

Registry& registry() {
    static Registry r;
    return r;
}

uint32_t format_of(FilterControlFn control) {
    uint32_t format = 0;
    control(nullptr, KV_OP_FORMAT_NUMBER, nullptr, nullptr, &format, sizeof format);
    return format;
}

}  // namespace

std::vector<RegisteredFilter> registered_filters() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().filters;
}

RegisteredFilter find_filter(uint32_t format) {
    for (const RegisteredFilter& filter : registered_filters()) {
        if (filter.format == format) return filter;
    }
    return {};
}

RegisteredFilter probe_filters(const uint8_t* bytes, uint32_t length) {
    for (const RegisteredFilter& filter : registered_filters()) {
        SignatureTestFn test = nullptr;
        filter.control(nullptr, KV_OP_SIGNATURE_TEST, nullptr, nullptr, &test, sizeof test);
        if (test != nullptr && test(nullptr, bytes, length) == 1) return filter;
    }
    return {};
}

std::vector<void*> registered_mult_sources() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().mult_sources;
}

void* named_service(const std::string& name) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().named_services.find(name);
    return it == registry().named_services.end() ? nullptr : it->second;
}

std::vector<std::string> named_service_names() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    std::vector<std::string> names;
    for (const auto& entry : registry().named_services) names.push_back(entry.first);
    return names;
}

void fail_filter_registration_of(uint32_t format, HostStatus status) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().failing_formats[format] = status;
}

void clear_registry_faults() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().failing_formats.clear();
}

// Called by the host's offer function.
void add_named_service(const std::string& name, void* function) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().named_services[name] = function;
}

void clear_named_services() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().named_services.clear();
}

}  // namespace kvhost

using namespace kvhost;

extern "C" HostStatus kvhost_GPb_fltrm_filter_register(FilterControlFn control) {
    if (control == nullptr) return record_host_error(KVHOST_MODULE("registry"), __LINE__, host_error::kBadArgument,
                                                     "filter registration without a control entry");
    const uint32_t format = format_of(control);
    Registry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    auto failing = r.failing_formats.find(format);
    if (failing != r.failing_formats.end()) {
        HostStatus status = failing->second;
        lock.unlock();
        record_host_error(KVHOST_MODULE("registry"), __LINE__, status,
                          "registration of format " + std::to_string(format) + " refused");
        return status;
    }
    // A filter registered again under the same format replaces the old one.
    std::erase_if(r.filters, [&](const RegisteredFilter& f) { return f.format == format; });
    r.filters.push_back(RegisteredFilter{control, format});
    return 0;
}

extern "C" HostStatus kvhost_GPb_fltrm_filter_unregister(void*, uint32_t format) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase_if(r.filters, [&](const RegisteredFilter& f) { return f.format == format; });
    return 0;
}

extern "C" HostStatus kvhost_GPb_mult_source_register(void* source) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (std::find(r.mult_sources.begin(), r.mult_sources.end(), source) == r.mult_sources.end())
        r.mult_sources.push_back(source);
    return 0;
}

extern "C" HostStatus kvhost_GPb_mult_source_unregister(void* source) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase(r.mult_sources, source);
    return 0;
}
