// Fuzzes the raw LZW filter's load through the application API: the last
// four input bytes pick width, height, bits per pixel (0 to 17), fill order
// and alignment; the rest is the LZW data.
#include "kvhost/lzw.h"
#include "kvhost/memory.h"
#include "kvhost/stream.h"
#include "support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    if (size < 4) return 0;
    const uint8_t* g = data + size - 4;
    kvhost::lzw::RawGeometry geometry;
    geometry.width = 1 + (g[0] | ((g[1] & 0x03) << 8));  // 1 to 1024
    geometry.height = 1 + (g[1] >> 2);                  // 1 to 64
    geometry.bits_per_pixel = g[2] % 18;
    geometry.fill_order = (g[2] / 18) % 3;
    geometry.alignment = g[3] % 9;
    const size_t before = kvhost::memory::blocks_outstanding();
    auto stream = kvhost::memory_view_stream(data, size - 4);
    std::unique_ptr<kvhost::LoadedImage> image;
    const HostStatus status = kvhost::lzw::load_raw(stream.get(), geometry, &image);
    if (status == 0) {
        if (image == nullptr || image->rows_delivered != geometry.height) std::abort();
    } else if (stream->position != 0) {
        std::abort();  // a failed load puts the stream back
    }
    kvfuzz::expect_clean(before);
    return 0;
}
