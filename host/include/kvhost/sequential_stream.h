// A read-only stream over a descriptor that can only be read front to back
// (a pipe, a terminal, /dev/zero): bytes are read as the load asks for them
// and kept for going back, never more than the memory budget allows.
#pragma once

#include "kvhost/stream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvhost {

// A stream over `fd` from its current position; the stream closes it when
// `owns` is set. Reads stop short (with one error record, code
// host_error::kNoMemory) once the bytes kept would pass the budget.
std::unique_ptr<HostStream> sequential_stream(int fd, bool owns, const std::string& name);

// Every byte of `fd` up to its end, within the memory budget; false (with
// an error record) on a read failure or input beyond the budget.
bool read_all_within_budget(int fd, const std::string& name, std::vector<uint8_t>* bytes);

}  // namespace kvhost
