#include "heap_faults.h"

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> g_fail_at{0};
std::atomic<uint64_t> g_count{0};
std::atomic<int64_t> g_outstanding{0};

// Nothrow blocks carry a header so that delete can tell them apart.
constexpr size_t kHeader = 16;
constexpr uint64_t kNothrowMark = 0x6b766e6f74687277ull;
// The address range of the module whose allocations are counted.
std::atomic<uintptr_t> g_module_begin{0};
std::atomic<uintptr_t> g_module_end{0};

bool from_counted_module(const void* address) {
    const auto a = reinterpret_cast<uintptr_t>(address);
    return a >= g_module_begin.load() && a < g_module_end.load();
}

struct ModuleSearch {
    uintptr_t address = 0, begin = 0, end = 0;
};

int find_module(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ModuleSearch*>(data);
    uintptr_t begin = UINTPTR_MAX, end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        begin = std::min<uintptr_t>(begin, info->dlpi_addr + ph.p_vaddr);
        end = std::max<uintptr_t>(end, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
    }
    if (search->address < begin || search->address >= end) return 0;
    search->begin = begin;
    search->end = end;
    return 1;
}

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
    if (!from_counted_module(__builtin_return_address(0))) {
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
    ModuleSearch search;
    search.address = reinterpret_cast<uintptr_t>(address);
    dl_iterate_phdr(find_module, &search);
    g_module_begin = search.begin;
    g_module_end = search.end;
}

void fail_nth_nothrow_allocation(uint64_t n) {
    g_count = 0;
    g_fail_at = n;
}

void clear_faults() { g_fail_at = 0; }
uint64_t nothrow_allocations() { return g_count; }
int64_t nothrow_blocks_outstanding() { return g_outstanding; }

}  // namespace kvtest::heap
