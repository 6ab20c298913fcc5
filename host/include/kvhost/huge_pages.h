// Large buffers backed by huge pages where the system allows them: a
// 40 MB image otherwise costs ten thousand page faults to fill.
#pragma once

#include <cstddef>

namespace kvhost {

// Asks for huge pages for the block (4 MB or more) while the kernel holds
// enough of them free that the faults need no compaction; a hint only,
// ignored where the system does not offer them.
void advise_huge_pages(void* block, size_t size);

}  // namespace kvhost
