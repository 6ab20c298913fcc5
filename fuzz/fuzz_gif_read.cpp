// GIF reading on arbitrary bytes: the page count, page information and the
// load of the first pages, on a memory stream. Nothing may crash, read out
// of bounds or stay allocated.
#include "kvhost/errors.h"
#include "kvhost/filters.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "support.h"

#include <cstdint>
#include <cstdlib>

// A megabyte holds every image of the seeds; larger screens cost time, not coverage.
constexpr uint64_t kMaxImageBytes = uint64_t{1} << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    static const kvhost::Filter gif(kvhost::find_filter(KV_FORMAT_GIF));
    static const auto count_entry = reinterpret_cast<PageCountFn>(gif.entry(KV_OP_PAGE_COUNT));
    static const auto info_entry = reinterpret_cast<PageInfoFn>(gif.entry(KV_OP_PAGE_INFO));
    static const auto load_entry = reinterpret_cast<ImageLoadFn>(gif.entry(KV_OP_LOAD));
    if (count_entry == nullptr || load_entry == nullptr || info_entry == nullptr) std::abort();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();

    auto stream = kvhost::memory_view_stream(data, size);
    // Images the fuzzer can describe in a few bytes must not cost the host
    // gigabytes; the component itself holds one row.
    stream->sink.max_image_bytes = kMaxImageBytes;
    uint32_t count = 0;
    count_entry(stream.get(), nullptr, &count);
    kvhost::clear_errors();
    kvfuzz::expect_clean(blocks_before);

    GifSettings settings{89, 0, 0};
    const uint32_t pages = count < 3 ? count + 1 : 3;
    for (uint32_t page = 0; page <= pages; ++page) {
        stream->position = 0;
        stream->sink = kvhost::LoadSink{};
        stream->sink.max_image_bytes = kMaxImageBytes;
        load_entry(stream.get(), &settings, page);
        kvfuzz::expect_clean(blocks_before);
    }
    stream->position = 0;
    HostDibInfo* dib = nullptr;
    uint32_t value = 0;
    info_entry(stream.get(), &dib, &value, &settings, 1);
    if (dib != nullptr) kvhost::service_table().DIB_info_delete(dib);
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
