// The one global table through which every part of the component reaches
// the host, and the few typed helpers that wrap the calls made everywhere.
#pragma once

#include "kvlzw/abi.h"

#include <cstddef>
#include <cstdint>

namespace kv {

// Filled by CPb_LZW_init, cleared by CPb_LZW_done; read-only in between.
extern HostServiceTable g_host;

inline const HostServiceTable& host() { return g_host; }

// Source modules named in error records.
namespace module {
inline constexpr const char* kFrame = "Common/Components/LZW/i_LZW";
inline constexpr const char* kGifRead = "Common/Components/LZW/gifread";
inline constexpr const char* kGifWrite = "Common/Components/LZW/gifwrite";
inline constexpr const char* kMultSource = "Common/Components/LZW/gifMultSource";
inline constexpr const char* kTiff = "Common/Components/LZW/tiflzw";
inline constexpr const char* kRaw = "Common/Components/Lzw/lzwread";
}  // namespace module

// Error codes shared by several parts of the component.
namespace err {
inline constexpr int32_t kNoMemory = -1000;
inline constexpr int32_t kUnknownOperation = -1005;
inline constexpr int32_t kUnknownAttribute = -512;
// An entry whose implementation has not been built into this module yet.
inline constexpr int32_t kNotImplemented = -1006;
}  // namespace err

// Records one error with the host and returns the status it gives back.
inline HostStatus record_error(const char* module, int32_t line, int32_t code, int64_t d0 = 0, int64_t d1 = 0,
                               int64_t d2 = 0, const char* text = nullptr) {
    return g_host.AF_err_record_set(module, line, code, d0, d1, d2, text);
}

inline HostStatus error_status() { return g_host.AF_error_check(); }

inline uint32_t new_memory_tag(const char* module, int32_t line) {
    return g_host.AF_memm_unique_tag_get(module, line);
}

inline void* host_alloc(uint32_t tag, uint64_t size, const char* module, int32_t line) {
    return g_host.AF_memm_alloc(tag, size, module, line);
}

inline void host_free(uint32_t tag, void* block, const char* module, int32_t line) {
    if (block != nullptr) g_host.AF_memm_free(tag, block, module, line);
}

inline void host_free_all(uint32_t tag, const char* module, int32_t line) {
    g_host.AF_memm_free_all(tag, module, line);
}

// Records that an entry is not part of this build yet; never a silent success.
inline HostStatus not_implemented(const char* module, int32_t line, const char* entry) {
    return record_error(module, line, err::kNotImplemented, 0, 0, 0, entry);
}

}  // namespace kv
