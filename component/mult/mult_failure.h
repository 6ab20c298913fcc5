// How every multi-page operation fails: the error is recorded once, where
// it is found, and the host's current status is thrown as a signed 64-bit
// integer for the host to catch.
#pragma once

#include "frame/service_table.h"

#include <cstdint>

namespace kv {

[[noreturn]] inline void throw_status() { throw static_cast<int64_t>(error_status()); }

[[noreturn]] inline void fail(int32_t line, int32_t code, int64_t d0 = 0, int64_t d1 = 0, int64_t d2 = 0,
                              const char* text = nullptr) {
    record_error(module::kMultSource, line, code, d0, d1, d2, text);
    throw_status();
}

// A host service's non-zero status: the host has recorded why.
inline void throw_if_failed(HostStatus status) {
    if (status != 0) throw_status();
}

}  // namespace kv
