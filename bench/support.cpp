#include "support.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace kvbench {

kvhost::Component& component() { return kvhost::process_component("bench"); }

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int giflib_read_memory(GifFileType* gif, GifByteType* out, int n) {
    auto* memory = static_cast<GiflibMemory*>(gif->UserData);
    const size_t count = std::min<size_t>(n, memory->bytes->size() - memory->at);
    std::memcpy(out, memory->bytes->data() + memory->at, count);
    memory->at += count;
    return static_cast<int>(count);
}

}  // namespace kvbench
