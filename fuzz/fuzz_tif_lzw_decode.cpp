// Fuzzes the TIFF LZW decode routine: any bytes as LZW data, with an output
// size and fill order taken from the last two input bytes. Every work area
// has exactly its minimum size, so any access past one is reported.
#include "../component/tiff/tif_lzw_decode.cpp"

#include "kvhost/memory.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "support.h"

#include <cstdlib>
#include <memory>

namespace kv {
HostServiceTable g_host;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    kv::g_host = kvhost::service_table();
    size_t length = size;
    int32_t out_size = 4096;
    uint16_t fill_order = 1;
    if (size >= 2) {
        const uint8_t a = data[size - 2];
        const uint8_t b = data[size - 1];
        length = size - 2;
        // Sizes from 0 (and below) to about 1 MiB, most of them small.
        out_size = (a & 0x80) ? static_cast<int32_t>(a & 0x7F) * (int32_t{b} + 1) * 64 : static_cast<int32_t>(a) - 8;
        fill_order = static_cast<uint16_t>(b % 3);
    }
    const size_t before = kvhost::memory::blocks_outstanding();
    auto stream = kvhost::memory_view_stream(data, length);
    auto out = std::make_unique<uint8_t[]>(out_size > 0 ? static_cast<size_t>(out_size) : 1);
    auto prefix = std::make_unique<uint16_t[]>(4096);
    auto first = std::make_unique<uint8_t[]>(4096);
    auto last = std::make_unique<uint8_t[]>(4096);
    auto stack = std::make_unique<uint8_t[]>(4096);
    auto in_buf = std::make_unique<uint8_t[]>(8192);
    uint32_t count = 0;
    kv::TIF_LZW_decode(stream.get(), out.get(), out_size, prefix.get(), first.get(), last.get(), stack.get(),
                       in_buf.get(), &count, fill_order);
    if (count > static_cast<uint32_t>(out_size > 0 ? out_size : 0)) std::abort();
    if (stream->position < 0 || stream->position > static_cast<int64_t>(length)) std::abort();
    kvfuzz::expect_clean(before);
    return 0;
}
