// Fuzzes whole TIFF files through the host's TIFF reader and the strip
// service: whatever the directory says, the load must end cleanly, and the
// damage check must name the same strips for the same reasons whether it
// walks every strip or clears strips by the scan and the decoder's reads.
#include "support.h"

#include "kvhost/memory.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    auto stream = kvhost::memory_view_stream(data, size);
    // Keep images small enough that the fuzzer spends its time on decoding.
    stream->sink.max_image_bytes = 1 << 20;
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    kvhost::TiffImage t;
    std::vector<kvhost::ReadSpan> reads;
    kvhost::tiff_load(stream.get(), 0, &t, &reads);
    kvfuzz::expect_clean(blocks_before);
    if (stream->sink.image != nullptr) {
        const kvhost::StripScan scan = kvhost::tiff_strip_scan(stream.get(), t);
        const auto walked = kvhost::tiff_strip_damage(stream.get(), t);
        const auto cleared = kvhost::tiff_strip_damage(stream.get(), t, &scan, &reads);
        if (walked.size() != cleared.size()) std::abort();
        for (size_t i = 0; i < walked.size(); ++i) {
            if (walked[i].strip != cleared[i].strip || walked[i].text != cleared[i].text) std::abort();
        }
    }
    return 0;
}
