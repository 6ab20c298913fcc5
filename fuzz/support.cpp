#include "support.h"

#include "kvhost/errors.h"
#include "kvhost/memory.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kvfuzz {

kvhost::Component& component() { return kvhost::process_component("fuzz"); }

void expect_clean(size_t blocks_before) {
    const size_t now = kvhost::memory::blocks_outstanding();
    if (now != blocks_before) {
        std::fprintf(stderr, "fuzz: %zu blocks left allocated by the operation\n", now - blocks_before);
        std::abort();
    }
    kvhost::clear_errors();
}

}  // namespace kvfuzz
