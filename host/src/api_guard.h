// The host's application calls never let an exception out: a failed
// allocation or any other throw inside one becomes an error record.
#pragma once

#include "kvhost/errors.h"

#include <exception>
#include <new>

namespace kvhost {

// Runs call() and returns its status; a throw becomes an error record (and
// its status) from the module and line of the call.
template <typename Call>
HostStatus guarded(const char* module, int32_t line, Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return record_host_error(module, line, host_error::kNoMemory, "out of memory");
    } catch (const std::exception& e) {
        return record_host_error(module, line, host_error::kUnexpected, e.what());
    } catch (...) {
        return record_host_error(module, line, host_error::kUnexpected, "unknown exception");
    }
}

}  // namespace kvhost
