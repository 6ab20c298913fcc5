// The tagged memory manager (AF_memm_*).
#include "kvhost/errors.h"
#include "kvhost/huge_pages.h"
#include "kvhost/memory.h"
#include "service_impl.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kvhost::memory {
namespace {

// A number for the calling thread, given when it first needs one: cheaper to
// hash than a std::thread::id, which every allocation and free looks up.
using ThreadNumber = uint64_t;

ThreadNumber this_thread_number() {
    static std::atomic<ThreadNumber> next{1};
    thread_local const ThreadNumber number = next.fetch_add(1, std::memory_order_relaxed);
    return number;
}

struct Block {
    uint32_t tag;
    uint64_t size;
    ThreadNumber owner;  // the thread whose budget the block counts against
    void* address;
    // The tag's blocks, linked through the records (which stay where they
    // are when the index grows): a set per tag cost a node per block.
    // A record not in use is on the index's free list through `next`.
    Block* previous;
    Block* next;
};

// The blocks by address. Every allocation and free looks a block up, so the
// records come from a pool (no system allocation per block) and the index
// is open addressing over a power-of-two table with linear probing (no
// division per lookup); a removal shifts the entries behind it back, so
// lookups never wade through deleted slots.
class BlockIndex {
public:
    Block* find(void* address) const {
        if (count_ == 0) return nullptr;
        for (size_t i = home(address);; i = (i + 1) & mask_) {
            Block* b = slots_[i];
            if (b == nullptr || b->address == address) return b;
        }
    }

    // A record for a block that is not in the index yet.
    Block& insert(void* address) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        Block* b = take_record();
        b->address = address;
        place(b);
        ++count_;
        return *b;
    }

    void erase(Block* b) {
        size_t hole = home(b->address);
        while (slots_[hole] != b) hole = (hole + 1) & mask_;
        for (size_t i = (hole + 1) & mask_; slots_[i] != nullptr; i = (i + 1) & mask_) {
            // An entry may move back into the hole when its home does not lie
            // after the hole on its way to where it is.
            const size_t h = home(slots_[i]->address);
            const bool home_between = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
            if (!home_between) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole] = nullptr;
        --count_;
        b->next = free_;
        free_ = b;
    }

    size_t size() const { return count_; }

private:
    static constexpr size_t kRecordsPerChunk = 256;

    size_t home(const void* address) const {
        // Block addresses are 16-byte aligned: the low bits carry nothing.
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(address) >> 4) * 0x9E3779B97F4A7C15ull >> shift_);
    }
    void place(Block* b) {
        size_t i = home(b->address);
        while (slots_[i] != nullptr) i = (i + 1) & mask_;
        slots_[i] = b;
    }
    // The new table is made before the old one is let go, so that a failed
    // allocation leaves the index as it was.
    void grow() {
        const size_t capacity = slots_.empty() ? 64 : 2 * slots_.size();
        std::vector<Block*> old(capacity, nullptr);
        old.swap(slots_);
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        for (Block* b : old)
            if (b != nullptr) place(b);
    }
    Block* take_record() {
        if (free_ == nullptr) {
            chunks_.push_back(std::make_unique<Block[]>(kRecordsPerChunk));
            Block* chunk = chunks_.back().get();
            for (size_t i = 0; i < kRecordsPerChunk; ++i) {
                chunk[i].next = free_;
                free_ = &chunk[i];
            }
        }
        Block* b = free_;
        free_ = b->next;
        return b;
    }

    std::vector<Block*> slots_;
    size_t mask_ = 0;
    unsigned shift_ = 64;
    size_t count_ = 0;
    std::vector<std::unique_ptr<Block[]>> chunks_;
    Block* free_ = nullptr;
};

struct TagBooks {
    Block* first = nullptr;
    size_t blocks = 0;
    uint64_t bytes = 0;
};

struct Manager {
    std::mutex mutex;
    BlockIndex blocks;
    std::unordered_map<uint32_t, TagBooks> tags;
    uint64_t total_bytes = 0;
    uint64_t allocations = 0;
    uint64_t fail_at_allocation = 0;  // 0 = none
    uint64_t fail_size = 0;
    bool fail_size_set = false;
    size_t unknown_frees = 0;
    size_t tag_mismatches = 0;
    uint64_t operation_limit = kDefaultOperationLimit;
    std::unordered_map<ThreadNumber, uint64_t> in_use;  // per thread, blocks and reservations
};

Manager& manager() {
    static Manager* m = new Manager;  // lives until exit; never destroyed under a late free
    return *m;
}

std::atomic<uint32_t> g_next_tag{1};

// 0: the process-wide limit applies.
thread_local uint64_t t_thread_limit = 0;

uint64_t limit_of(const Manager& m) { return t_thread_limit != 0 ? t_thread_limit : m.operation_limit; }

// Called with the mutex held: counts the allocation and says if it must fail.
bool injected_failure(Manager& m, uint64_t size) {
    ++m.allocations;
    if (m.fail_at_allocation != 0 && m.allocations == m.fail_at_allocation) return true;
    return m.fail_size_set && size == m.fail_size;
}

// What the system spends on a block besides its bytes: the allocator's header
// and the manager's own books (a record and its index slots). Counting it keeps
// a million small blocks honest against the budget.
constexpr uint64_t kBlockOverhead = 128;

// Called with the mutex held: whether `size` more bytes fit this thread's budget.
bool fits_budget(Manager& m, uint64_t size) {
    const auto it = m.in_use.find(this_thread_number());
    const uint64_t used = it == m.in_use.end() ? 0 : it->second;
    const uint64_t limit = limit_of(m);
    return size <= limit && used <= limit - size;
}

bool block_fits(Manager& m, uint64_t size) {
    return size <= UINT64_MAX - kBlockOverhead && fits_budget(m, size + kBlockOverhead);
}

void charge(Manager& m, ThreadNumber owner, uint64_t size) { m.in_use[owner] += size; }

void refund(Manager& m, ThreadNumber owner, uint64_t size) {
    auto it = m.in_use.find(owner);
    if (it == m.in_use.end()) return;
    it->second -= std::min(it->second, size);
    if (it->second == 0) m.in_use.erase(it);
}

void add_block(Manager& m, void* block, uint32_t tag, uint64_t size) {
    const ThreadNumber owner = this_thread_number();
    TagBooks& books = m.tags[tag];
    Block& entry = m.blocks.insert(block);
    entry = Block{tag, size, owner, block, nullptr, books.first};
    if (books.first != nullptr) books.first->previous = &entry;
    books.first = &entry;
    ++books.blocks;
    books.bytes += size;
    charge(m, owner, size + kBlockOverhead);
    m.total_bytes += size;
}

// Takes a block out of its owner's budget, the total and the index; its
// record goes back to the index's pool.
void forget_block(Manager& m, Block& info) {
    refund(m, info.owner, info.size + kBlockOverhead);
    m.total_bytes -= info.size;
    m.blocks.erase(&info);
}

// Unlinks a block from its tag's books and forgets it.
void remove_block(Manager& m, Block& info) {
    auto books = m.tags.find(info.tag);
    if (books != m.tags.end()) {
        if (info.previous != nullptr) info.previous->next = info.next;
        else books->second.first = info.next;
        if (info.next != nullptr) info.next->previous = info.previous;
        --books->second.blocks;
        books->second.bytes -= info.size;
        if (books->second.blocks == 0) m.tags.erase(books);
    }
    forget_block(m, info);
}

// Counts and records a block handed back that the manager does not know; the
// error is filed after the lock is released.
HostStatus unknown_block(Manager& m, std::unique_lock<std::mutex>& lock, const char* operation) {
    ++m.unknown_frees;
    lock.unlock();
    return record_host_error(KVHOST_MODULE("memory"), __LINE__, host_error::kUnknownBlock,
                             std::string(operation) + " of a block the memory manager does not know");
}

// Reads or changes the manager under its lock.
template <typename Use>
auto locked(Use&& use) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return use(m);
}

}  // namespace

size_t blocks_outstanding(uint32_t tag) {
    return locked([&](Manager& m) {
        auto it = m.tags.find(tag);
        return it == m.tags.end() ? 0 : it->second.blocks;
    });
}

uint64_t bytes_outstanding(uint32_t tag) {
    return locked([&](Manager& m) {
        auto it = m.tags.find(tag);
        return it == m.tags.end() ? 0 : it->second.bytes;
    });
}

size_t blocks_outstanding() {
    return locked([](const Manager& m) { return m.blocks.size(); });
}

uint64_t bytes_outstanding() {
    return locked([](const Manager& m) { return m.total_bytes; });
}

size_t unknown_frees() {
    return locked([](const Manager& m) { return m.unknown_frees; });
}

size_t tag_mismatches() {
    return locked([](const Manager& m) { return m.tag_mismatches; });
}

void fail_nth_allocation(uint64_t n) {
    locked([&](Manager& m) {
        m.fail_at_allocation = n == 0 ? 0 : m.allocations + n;
    });
}

void fail_allocations_of_size(uint64_t size) {
    locked([&](Manager& m) {
        m.fail_size = size;
        m.fail_size_set = true;
    });
}

void clear_faults() {
    locked([&](Manager& m) {
        m.fail_at_allocation = 0;
        m.fail_size_set = false;
    });
}

uint64_t allocation_count() {
    return locked([](const Manager& m) { return m.allocations; });
}

void set_operation_limit(uint64_t bytes) {
    locked([&](Manager& m) {
        m.operation_limit = bytes;
    });
}

uint64_t operation_limit() {
    return locked([](const Manager& m) { return limit_of(m); });
}

ThreadOperationLimit::ThreadOperationLimit(uint64_t bytes) : previous_(t_thread_limit) { t_thread_limit = bytes; }

ThreadOperationLimit::~ThreadOperationLimit() { t_thread_limit = previous_; }

uint64_t operation_bytes() {
    return locked([&](Manager& m) {
        const auto it = m.in_use.find(this_thread_number());
        return it == m.in_use.end() ? 0 : it->second;
    });
}

Reservation& Reservation::operator=(Reservation&& other) noexcept {
    if (this != &other) {
        release();
        bytes_ = other.bytes_;
        other.bytes_ = 0;
    }
    return *this;
}

bool Reservation::reserve(uint64_t bytes) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!fits_budget(m, bytes)) return false;
    charge(m, this_thread_number(), bytes);
    bytes_ += bytes;
    return true;
}

void Reservation::release() {
    if (bytes_ == 0) return;
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    refund(m, this_thread_number(), bytes_);
    bytes_ = 0;
}

uint32_t new_tag() {
    uint32_t tag = g_next_tag.fetch_add(1);
    if (tag == 0) tag = g_next_tag.fetch_add(1);  // 0 is never a tag
    return tag;
}

}  // namespace kvhost::memory

using namespace kvhost;
using namespace kvhost::memory;

extern "C" uint32_t kvhost_AF_memm_unique_tag_get(const char*, int32_t) { return new_tag(); }

extern "C" void* kvhost_AF_memm_alloc(uint32_t tag, uint64_t size, const char*, int32_t) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (injected_failure(m, size) || !block_fits(m, size)) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) add_block(m, block, tag, size);
    advise_huge_pages(block, size);
    return block;
}

namespace {

// What a block reallocated to `size` bytes takes from the system: a large one
// is rounded up to whole 4 MiB, so that a block grown a step at a time has the
// next steps' pages inside its mapping already when huge pages are asked for
// (and is not remapped at every step). The budget counts `size`.
size_t room_for(uint64_t size) {
    constexpr uint64_t kStep = uint64_t{4} << 20;
    if (size == 0) return 1;
    return size < kStep || size > UINT64_MAX - kStep ? size : (size + kStep - 1) / kStep * kStep;
}

}  // namespace

extern "C" void* kvhost_AF_memm_realloc(uint32_t tag, void* block, uint64_t size, const char* file, int32_t line) {
    if (block == nullptr) return kvhost_AF_memm_alloc(tag, size, file, line);
    Manager& m = manager();
    std::unique_lock<std::mutex> lock(m.mutex);
    Block* record = m.blocks.find(block);
    if (record == nullptr) {
        unknown_block(m, lock, "reallocation");
        return nullptr;
    }
    const Block info = *record;
    // The old block stays valid when the new size is refused.
    if (injected_failure(m, size) || (size > info.size && !fits_budget(m, size - info.size))) return nullptr;
    remove_block(m, *record);
    const size_t room = room_for(size);
    void* moved = std::realloc(block, room);
    if (moved == nullptr) {
        add_block(m, block, info.tag, info.size);
        return nullptr;
    }
    add_block(m, moved, info.tag, size);
    advise_huge_pages(moved, room);
    if (info.tag != tag) ++m.tag_mismatches;
    return moved;
}

extern "C" HostStatus kvhost_AF_memm_free(uint32_t tag, void* block, const char*, int32_t) {
    if (block == nullptr) return 0;
    Manager& m = manager();
    std::unique_lock<std::mutex> lock(m.mutex);
    Block* record = m.blocks.find(block);
    if (record == nullptr) return unknown_block(m, lock, "free");
    if (record->tag != tag) ++m.tag_mismatches;
    remove_block(m, *record);
    std::free(block);
    return 0;
}

extern "C" HostStatus kvhost_AF_memm_free_all(uint32_t tag, const char*, int32_t) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto books = m.tags.find(tag);
    if (books == m.tags.end()) return 0;
    for (Block* entry = books->second.first; entry != nullptr;) {
        // The whole list goes with the tag: no unlinking block by block.
        Block* next = entry->next;
        void* block = entry->address;
        forget_block(m, *entry);
        std::free(block);
        entry = next;
    }
    m.tags.erase(books);
    return 0;
}
