// Failing the general heap on purpose: this test program replaces the
// global operator new, so the nothrow allocations the component makes (it
// is loaded into this process) can be made to fail one at a time.
#pragma once

#include <cstdint>

namespace kvtest::heap {

// Counts (and fails) only the allocations made by code of the module that
// holds this address.
void count_module_of(const void* address);
// The Nth counted nothrow allocation from now (1 = the next) answers null.
void fail_nth_nothrow_allocation(uint64_t n);
void clear_faults();
// Nothrow allocations counted since the last fail_nth_nothrow_allocation.
uint64_t nothrow_allocations();
// Blocks handed out by nothrow allocations and not yet deleted.
int64_t nothrow_blocks_outstanding();

}  // namespace kvtest::heap
