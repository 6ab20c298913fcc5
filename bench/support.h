// Shared by the benchmarks: the component, loaded once, and file reading.
#pragma once

#include "kvhost/component.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvbench {

// Loads and starts the component found beside the executable; aborts when
// it cannot.
kvhost::Component& component();

std::vector<uint8_t> read_file(const std::string& path);

}  // namespace kvbench
