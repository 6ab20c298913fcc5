#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace kvbench {

kvhost::Component& component() {
    static std::unique_ptr<kvhost::Component> loaded = [] {
        std::string error;
        auto c = kvhost::Component::load(kvhost::default_module_path(), &error);
        if (c == nullptr) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            std::abort();
        }
        return c;
    }();
    return *loaded;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kvbench
