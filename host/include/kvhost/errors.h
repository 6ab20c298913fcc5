// Error records: each thread keeps its own list, filled by the component
// (AF_err_record_set) and by the host's own services.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

struct ErrorRecord {
    std::string module;
    int32_t line = 0;
    int32_t code = 0;
    int64_t details[3] = {0, 0, 0};
    bool has_text = false;
    std::string text;
};

// This thread's records, oldest first.
std::vector<ErrorRecord> error_records();
void clear_errors();
size_t error_count();
// 0 when this thread has no records, else the first record's code.
HostStatus error_status();
// Records an error from host code (module is the host source file).
HostStatus record_host_error(const char* module, int32_t line, int32_t code, const std::string& text,
                             int64_t detail0 = 0, int64_t detail1 = 0, int64_t detail2 = 0);
// One readable line: "error -2005 (GIF header short, or page not found) at
// Common/Components/LZW/gifread:120 [0, 0, 0]: text".
std::string describe(const ErrorRecord& record);
// What a code means, or "" for a code the host does not know.
const char* error_meaning(int32_t code);

// Error codes of the host itself.
namespace host_error {
inline constexpr int32_t kNotImplemented = -9001;
inline constexpr int32_t kBadArgument = -9002;
inline constexpr int32_t kUnknownBlock = -9003;
inline constexpr int32_t kStream = -9004;
inline constexpr int32_t kImageTooLarge = -9005;
inline constexpr int32_t kUnknownService = -9006;
inline constexpr int32_t kNoMemory = -9007;
inline constexpr int32_t kUnexpected = -9008;
}  // namespace host_error

}  // namespace kvhost
