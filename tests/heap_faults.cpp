#include "heap_faults.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <unordered_set>

namespace {

std::atomic<uint64_t> g_fail_at{0};
std::atomic<uint64_t> g_count{0};
std::atomic<int64_t> g_outstanding{0};
std::atomic<const void*> g_module_base{nullptr};

// Whether the code at this address belongs to the module whose
// allocations are counted.
bool from_counted_module(const void* address) {
    Dl_info info;
    return dladdr(address, &info) != 0 && info.dli_fbase == g_module_base.load();
}

// Nothrow blocks carry a header so that delete can tell them apart.
constexpr size_t kHeader = 16;
constexpr uint64_t kNothrowMark = 0x6b766e6f74687277ull;

void* allocate(size_t size) {
    void* p = std::malloc(size + kHeader);
    if (p == nullptr) return nullptr;
    *static_cast<uint64_t*>(p) = 0;
    return static_cast<char*>(p) + kHeader;
}

void release(void* p) {
    if (p == nullptr) return;
    char* base = static_cast<char*>(p) - kHeader;
    if (*reinterpret_cast<uint64_t*>(base) == kNothrowMark) --g_outstanding;
    *reinterpret_cast<uint64_t*>(base) = 0;
    std::free(base);
}

}  // namespace

void* operator new(size_t size) {
    void* p = allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (g_module_base.load() == nullptr || !from_counted_module(__builtin_return_address(0))) {
        void* p = allocate(size);
        if (p != nullptr) ++g_outstanding, *reinterpret_cast<uint64_t*>(static_cast<char*>(p) - kHeader) = kNothrowMark;
        return p;
    }
    const uint64_t n = ++g_count;
    if (g_fail_at != 0 && n == g_fail_at) return nullptr;
    void* p = allocate(size);
    if (p != nullptr) {
        *reinterpret_cast<uint64_t*>(static_cast<char*>(p) - kHeader) = kNothrowMark;
        ++g_outstanding;
    }
    return p;
}

void* operator new[](size_t size) { return operator new(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace kvtest::heap {

void count_module_of(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) != 0) g_module_base = info.dli_fbase;
}

void fail_nth_nothrow_allocation(uint64_t n) {
    g_count = 0;
    g_fail_at = n;
}

void clear_faults() { g_fail_at = 0; }
uint64_t nothrow_allocations() { return g_count; }
int64_t nothrow_blocks_outstanding() { return g_outstanding; }

}  // namespace kvtest::heap
