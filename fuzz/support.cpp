#include "support.h"

#include "kvhost/errors.h"
#include "kvhost/host_image.h"
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

Held held_now() {
    return {kvhost::memory::blocks_outstanding(), kvhost::images::live_count(), kvhost::memory::operation_bytes()};
}

void expect_clean(const Held& before) {
    if (kvhost::images::live_count() != before.images || kvhost::memory::operation_bytes() != before.budget) {
        std::fprintf(stderr, "fuzz: host images or budget left behind\n");
        std::abort();
    }
    expect_clean(before.blocks);
}

}  // namespace kvfuzz
