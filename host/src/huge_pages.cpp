#include "huge_pages.h"

#include <cstdint>
#include <sys/mman.h>

namespace kvhost {

void advise_huge_pages(void* block, size_t size) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (block == nullptr || size < 2 * kHugePage) return;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHugePage - 1);
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace kvhost
