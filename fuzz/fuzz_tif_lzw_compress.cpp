// Compression of arbitrary bytes through the "KV_LZW_compress" service: the
// stream must decode back to exactly the input, both with its exact size and
// up to its end code, and leave nothing allocated. Inputs are stretched by
// repetition so that the encoder's table fills and clears.
#include "kvhost/lzw.h"
#include "kvhost/memory.h"
#include "support.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::component();
    if (size == 0) return 0;
    // The first byte picks how often the rest is repeated (1 to 64 times),
    // up to 8 KiB: enough for the table to fill and clear, and small enough
    // for the search of the end to stay quick.
    constexpr size_t kMaxInput = 8 * 1024;
    const size_t repeats = 1 + (data[0] & 63);
    std::vector<uint8_t> input;
    for (size_t r = 0; r < repeats && input.size() < kMaxInput; ++r) input.insert(input.end(), data + 1, data + size);
    if (input.size() > kMaxInput) input.resize(kMaxInput);

    const size_t before = kvhost::memory::blocks_outstanding();
    std::vector<uint8_t> packed;
    if (kvhost::lzw::compress(input.data(), input.size(), &packed) != 0) std::abort();
    kvfuzz::expect_clean(before);

    std::vector<uint8_t> exact;
    if (kvhost::lzw::decompress(packed.data(), packed.size(), static_cast<uint32_t>(input.size()), 1, &exact) != 0)
        std::abort();
    if (exact != input) std::abort();
    std::vector<uint8_t> to_end;
    if (kvhost::lzw::decompress_all(packed.data(), packed.size(), 1, &to_end) != 0) std::abort();
    if (to_end != input) std::abort();  // the end code is read at the right width
    kvfuzz::expect_clean(before);
    return 0;
}
