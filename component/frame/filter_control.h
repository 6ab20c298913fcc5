// The filter control protocol, shared by both filters: each filter describes
// itself once in a FilterDescription and this engine answers the operations.
#pragma once

#include "kvlzw/abi.h"

#include <cstddef>
#include <cstdint>

namespace kv {

struct AttributeDescription {
    const char* name;
    uint32_t type_code;
    uint32_t value_size;     // 4 or 8 bytes
    size_t offset;           // of the field in the settings record
    const void* default_value;
};

struct FilterDescription {
    const char* module;  // source module for error records
    const char* name;
    const char* file_pattern;
    uint32_t flags_word;     // op 8
    uint32_t format_number;  // op 9
    uint32_t number_31;      // op 31
    uint32_t settings_size;  // op 32
    // Text of the unknown-attribute error; null means the requested name.
    const char* unknown_attribute_text;
    const AttributeDescription* attributes;
    size_t attribute_count;
    // Addresses answered for ops 10 to 14 (null where the filter has none).
    void* entries[5];
    void (*fill_defaults)(void* settings);                                  // op 33
    void (*answer_save_codes)(int32_t op, void* input, void* out, uint32_t size);  // ops 6, 7, 38, 39
};

HostStatus answer_filter_operation(const FilterDescription& filter, int32_t op, void* input, void* out,
                                   uint32_t out_size);

// Copies text like a bounded string copy: at most size bytes, zero padded.
void bounded_copy(void* out, uint32_t size, const char* text);

// The one-entry code list {8} of ops 4 and 6: at most min(size, 4 * count) bytes.
void copy_code_list(void* out, uint32_t size, uint32_t count);

}  // namespace kv
