// Host service implementations. Each service NAME is implemented by a
// function kvhost_NAME, defined in the source file of its family. The
// declarations are weak so that a service not built yet still resolves: the
// binding then answers with a "not implemented" error record.
#pragma once

#include "kvlzw/abi.h"

extern "C" {
#define KV_DECLARE_IMPL(name, ret, params) __attribute__((weak)) ret kvhost_##name params;
KV_HOST_SERVICES(KV_DECLARE_IMPL)
#undef KV_DECLARE_IMPL
}

// Source module names for the host's own error records.
#define KVHOST_MODULE(file) "host/" file

struct HostStream;
namespace kvhost {
// Counts one more record the load keeps on the stream (its size and the heap
// bytes it points to) against the memory budget; false (with one error
// record per load) when it does not fit.
bool keep_for_load(HostStream* stream, uint64_t record_size, uint64_t heap_bytes, const char* what);
}  // namespace kvhost
