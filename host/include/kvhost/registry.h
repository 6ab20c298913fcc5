// What the component registers with the host: format filters, multi-page
// sources and named services.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

struct RegisteredFilter {
    FilterControlFn control = nullptr;
    uint32_t format = 0;
};

std::vector<RegisteredFilter> registered_filters();
// The filter registered under this format number, or a null control.
RegisteredFilter find_filter(uint32_t format);
// The first registered filter whose signature test accepts the bytes.
RegisteredFilter probe_filters(const uint8_t* bytes, uint32_t length);

std::vector<void*> registered_mult_sources();

// A named service offered at attach, or null.
void* named_service(const std::string& name);
std::vector<std::string> named_service_names();

// Fault injection: registering the filter with this format number fails.
void fail_filter_registration_of(uint32_t format, HostStatus status);
void clear_registry_faults();

}  // namespace kvhost
