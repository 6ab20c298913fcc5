#include "kvhost/huge_pages.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace kvhost {

void advise_huge_pages(void* block, size_t size) {
    constexpr size_t kHugePage = size_t{2} << 20;
    if (block == nullptr || size < 2 * kHugePage) return;
    // The whole pages that hold the block: for a block of its own mapping,
    // the mapping itself. A part of it would split the mapping in two,
    // which makes every later realloc copy instead of remapping.
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size + page - 1) & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace kvhost
