#include "kvhost/huge_pages.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace kvhost {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr int kHugePageOrder = 9;  // 2 MiB in 4 KiB pages, as /proc/buddyinfo counts block sizes

// The huge pages the kernel holds free as whole blocks (/proc/buddyinfo:
// blocks of order 9 and above, each zone). 0 when it cannot be read.
int64_t free_huge_pages() {
    std::FILE* file = std::fopen("/proc/buddyinfo", "re");
    if (file == nullptr) return 0;
    int64_t pages = 0;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // "Node 0, zone   Normal   1628  44586 ...": counts of free blocks by order.
        const char* at = std::strstr(line, "zone");
        if (at == nullptr) continue;
        at += 4;
        while (*at == ' ') ++at;
        while (*at != ' ' && *at != '\0') ++at;  // the zone's name
        char* end = nullptr;
        for (int order = 0;; ++order, at = end) {
            const long long count = std::strtoll(at, &end, 10);
            if (end == at) break;
            if (order >= kHugePageOrder && count > 0 && order - kHugePageOrder < 32)
                pages += static_cast<int64_t>(count) << (order - kHugePageOrder);
        }
    }
    std::fclose(file);
    return pages;
}

// What this process may still ask for: the free huge pages when the first
// large block was advised, less what the hints have taken since.
std::atomic<int64_t> g_unclaimed{0};
std::once_flag g_counted;

// Takes `wanted` pages when at least as many again stay free for the rest
// of the machine.
bool claim(int64_t wanted) {
    std::call_once(g_counted, [] { g_unclaimed.store(free_huge_pages()); });
    int64_t left = g_unclaimed.load();
    do {
        if (left < 2 * wanted) return false;
    } while (!g_unclaimed.compare_exchange_weak(left, left - wanted));
    return true;
}

}  // namespace

void advise_huge_pages(void* block, size_t size) {
    if (block == nullptr || size < 2 * kHugePage) return;
    // The whole pages that hold the block: for a block of its own mapping,
    // the mapping itself. A part of it would split the mapping in two,
    // which makes every later realloc copy instead of remapping.
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + page - 1) & ~(page - 1);
    // A fault in a hinted region that finds no free huge page makes the
    // kernel compact memory there and then (defrag=madvise): a run that
    // takes three times its median. The hint is given only while the free
    // huge pages cover the block.
    if (!claim(static_cast<int64_t>((end - start) / kHugePage))) return;
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace kvhost
