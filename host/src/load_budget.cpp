// The copies a load keeps on its stream count against the memory budget, so
// that a file of a million small records cannot take the host's memory.
#include "kvhost/errors.h"
#include "kvhost/stream.h"
#include "service_impl.h"

namespace kvhost {

bool keep_for_load(HostStream* stream, uint64_t record_size, uint64_t heap_bytes, const char* what) {
    // The vector holding the records grows by doubling, and every heap block
    // carries the allocator's header.
    constexpr uint64_t kHeapOverhead = 64;
    const uint64_t bytes = 2 * record_size + heap_bytes + kHeapOverhead;
    LoadSink& sink = stream->sink;
    if (!sink.over_budget && sink.retained.reserve(bytes)) return true;
    if (!sink.over_budget) {
        sink.over_budget = true;
        record_host_error(KVHOST_MODULE("load_budget"), __LINE__, host_error::kNoMemory,
                          std::string(what) + " beyond the memory budget of " +
                              std::to_string(memory::operation_limit()) + " bytes",
                          0, static_cast<int64_t>(sink.retained.bytes()));
    }
    return false;
}

}  // namespace kvhost
