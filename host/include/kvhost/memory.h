// The host's tagged memory manager: every block belongs to a tag, blocks can
// be freed one by one or all together, and the books say what is left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvhost::memory {

// Blocks and bytes still allocated under one tag, or under all tags.
size_t blocks_outstanding(uint32_t tag);
uint64_t bytes_outstanding(uint32_t tag);
size_t blocks_outstanding();
uint64_t bytes_outstanding();

// Frees (or reallocations) of a block the manager does not know, and frees
// under another tag than the block's, since the process started.
size_t unknown_frees();
size_t tag_mismatches();

// Fault injection. The Nth allocation from now (1 = the next) fails; every
// allocation of exactly `size` bytes fails. clear_faults() ends both.
void fail_nth_allocation(uint64_t n);
void fail_allocations_of_size(uint64_t size);
void clear_faults();
// Allocations (including reallocations) made since the process started.
uint64_t allocation_count();

// A new tag for the host's own use (the component gets its tags through
// AF_memm_unique_tag_get).
uint32_t new_tag();

}  // namespace kvhost::memory
