// Writing a GIF page again as it was read, for kvlzw copy.
#pragma once

#include "kvhost/gif.h"
#include "kvhost/gif_save.h"

#include <cstdint>

namespace kvtool {

enum class Interlace { kKeep, kAll, kNone };

// Writes page `number` of `pages`, as loaded with its metadata and tags,
// through the writer: with the same blocks before and after its image
// (only the last page keeps the blocks after it, which are the next page's
// blocks before), at its version unless it has blocks that only 89a holds.
kvhost::gif::SaveResult save_page_again(kvhost::gif::PageResult* page, uint32_t number, uint32_t pages,
                                        Interlace interlace, kvhost::gif::PageWriter* writer);

}  // namespace kvtool
