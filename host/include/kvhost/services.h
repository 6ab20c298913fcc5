// The host's service table as the component sees it.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

// The address that the lookup of this service name (without "CORE.") hands
// out, or null for a name the host does not know.
void* service_address(const char* name);
// False when the host answers the service with a "not implemented" error.
bool service_implemented(const char* name);
// Every service, as the component would resolve it; for host code and tests
// that call services directly.
const HostServiceTable& service_table();

// Fault injection for tests: counting calls of any of these services from
// now, the Nth one (1 = the next) fails without running: a status service
// records error kInjectedFault and answers it, a pointer service answers
// null, iKV_image_is_valid answers 0. clear_call_faults() ends it; the
// count of matching calls made so far tells whether the Nth was reached.
inline constexpr int32_t kInjectedFault = -9011;
void fail_nth_call_of(const std::vector<std::string>& services, uint64_t n);
void clear_call_faults();
uint64_t matching_calls();

}  // namespace kvhost
