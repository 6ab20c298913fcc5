#include "support.h"

#include <fstream>
#include <iterator>

namespace kvbench {

kvhost::Component& component() { return kvhost::process_component("bench"); }

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kvbench
