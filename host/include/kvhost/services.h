// The host's service table as the component sees it.
#pragma once

#include "kvlzw/abi.h"

namespace kvhost {

// The address that the lookup of this service name (without "CORE.") hands
// out, or null for a name the host does not know.
void* service_address(const char* name);
// False when the host answers the service with a "not implemented" error.
bool service_implemented(const char* name);
// Every service, as the component would resolve it; for host code and tests
// that call services directly.
const HostServiceTable& service_table();

}  // namespace kvhost
