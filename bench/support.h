// Shared by the benchmarks: the component, loaded once, and file reading.
#pragma once

#include "kvhost/component.h"

#include <gif_lib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvbench {

// Loads and starts the component found beside the executable; aborts when
// it cannot.
kvhost::Component& component();

std::vector<uint8_t> read_file(const std::string& path);

// CPU time of the calling thread, in seconds: on a shared machine wall time
// mostly measures the neighbours.
double thread_seconds();

// giflib's input function over bytes in memory: DGifOpen(&memory, giflib_read_memory, ...).
struct GiflibMemory {
    const std::vector<uint8_t>* bytes;
    size_t at;
};
int giflib_read_memory(GifFileType* gif, GifByteType* out, int n);

}  // namespace kvbench
