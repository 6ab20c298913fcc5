// Fuzzes whole TIFF files through the host's TIFF reader and the strip
// service: whatever the directory says, the load must end cleanly.
#include "support.h"

#include "kvhost/memory.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    auto stream = kvhost::memory_view_stream(data, size);
    // Keep images small enough that the fuzzer spends its time on decoding.
    stream->sink.max_image_bytes = 1 << 20;
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    kvhost::tiff_load(stream.get(), 0);
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
