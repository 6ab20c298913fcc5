// kvlzw copy on arbitrary bytes: every page read through one page reader
// and written again through one page writer, as the tool does. Nothing may
// crash or stay allocated; when every page was read and written, the copy
// must hold as many pages, each with the same indices.
#include "gif_copy.h"
#include "kvhost/gif.h"
#include "kvhost/gif_save.h"
#include "kvhost/memory.h"
#include "support.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Pages beyond this are not decoded (the tool's --max-pixels at work).
constexpr uint64_t kLargestPage = uint64_t{1} << 12;
// A few dozen pages reach every path of a copy; more only cost time.
constexpr uint32_t kMostPages = 12;

bool read_whole(kvhost::gif::PageReader& reader, uint32_t number, kvhost::gif::PageResult* page) {
    const kvhost::gif::PageResult described = reader.info(number);
    if (!described.described || uint64_t{described.width} * described.height > kLargestPage) return false;
    *page = reader.load(number);
    return page->image != nullptr && page->image->rows_delivered >= page->image->height;
}

void copy_and_compare(const uint8_t* data, size_t size) {
    using namespace kvhost::gif;
    PageReader reader(Source::memory(data, size));
    const uint32_t pages = reader.count().count;
    std::vector<uint8_t> gif;
    PageWriter writer(&gif);
    const uint32_t copied = pages < kMostPages ? pages : kMostPages;
    std::vector<std::vector<uint8_t>> pixels, palettes;
    for (uint32_t number = 1; number <= copied; ++number) {
        PageResult page;
        if (!read_whole(reader, number, &page)) return;
        pixels.push_back(page.image->pixels);
        palettes.push_back(page.image->palette);
        const auto interlace = static_cast<kvtool::Interlace>(number % 3);
        if (!kvtool::save_page_again(&page, number, copied, interlace, &writer).ok()) return;
    }
    if (copied == 0) return;
    PageReader again(Source::memory(gif.data(), gif.size()));
    if (again.count().count != copied) {
        std::fprintf(stderr, "fuzz: %u pages copied, %u read back\n", copied, again.count().count);
        std::abort();
    }
    for (uint32_t number = 1; number <= copied; ++number) {
        const PageResult copy = again.load(number);
        if (copy.image == nullptr || copy.image->pixels != pixels[number - 1] ||
            copy.image->palette != palettes[number - 1]) {
            std::fprintf(stderr, "fuzz: page %u of the copy differs\n", number);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    kvhost::memory::set_operation_limit(uint64_t{256} << 20);
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    copy_and_compare(data, size);
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
