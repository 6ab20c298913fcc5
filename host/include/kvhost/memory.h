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

// The memory budget of one operation: what a thread's calls may hold at
// once, the manager's blocks and the host's own copies for a load (metadata,
// tags, image rows) together. Past it, allocations fail as when the system
// has no memory left, so the component's own out-of-memory paths run.
inline constexpr uint64_t kDefaultOperationLimit = uint64_t{1} << 30;
void set_operation_limit(uint64_t bytes);
// This thread's limit: its own while a ThreadOperationLimit lives, else the process's.
uint64_t operation_limit();
// Gives this thread a limit of its own while it lives, so that callers in
// several threads (a language binding's calls, say) each bound their own
// operations without changing the others'. Nests: the previous one returns.
class ThreadOperationLimit {
public:
    explicit ThreadOperationLimit(uint64_t bytes);
    ~ThreadOperationLimit();
    ThreadOperationLimit(const ThreadOperationLimit&) = delete;
    ThreadOperationLimit& operator=(const ThreadOperationLimit&) = delete;

private:
    uint64_t previous_;
};
// Bytes this thread holds against its budget.
uint64_t operation_bytes();

// Counts bytes the host keeps for a load against this thread's budget;
// false (nothing counted) when they do not fit. The reservation gives them
// back when it ends, with the load's stream.
class Reservation {
public:
    Reservation() = default;
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    Reservation(Reservation&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = 0; }
    Reservation& operator=(Reservation&& other) noexcept;
    ~Reservation() { release(); }
    bool reserve(uint64_t bytes);
    void release();
    uint64_t bytes() const { return bytes_; }

private:
    uint64_t bytes_ = 0;
};

// A new tag for the host's own use (the component gets its tags through
// AF_memm_unique_tag_get).
uint32_t new_tag();

}  // namespace kvhost::memory
