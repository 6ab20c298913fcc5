#include "frame/filter_control.h"

#include "frame/service_table.h"

#include <algorithm>
#include <cstring>

namespace kv {

namespace {

constexpr uint32_t kSaveCode = 8;
constexpr uint32_t kCommonNumber = 980;

void write_u32(void* out, uint32_t value) {
    if (out != nullptr) std::memcpy(out, &value, sizeof value);
}

void write_pointer(void* out, void* value) {
    if (out != nullptr) std::memcpy(out, &value, sizeof value);
}

// Index of the attribute with exactly this name, or -1.
int find_attribute(const FilterDescription& filter, const char* name) {
    if (name == nullptr) return -1;
    for (size_t i = 0; i < filter.attribute_count; ++i) {
        if (std::strcmp(filter.attributes[i].name, name) == 0) return static_cast<int>(i);
    }
    return -1;
}

HostStatus unknown_attribute(const FilterDescription& filter, const char* name) {
    const char* text = filter.unknown_attribute_text != nullptr ? filter.unknown_attribute_text : name;
    return record_error(filter.module, __LINE__, err::kUnknownAttribute, 0, 0, 0, text);
}

void enumerate_attributes(const FilterDescription& filter, void* out, uint32_t size) {
    if (out == nullptr) return;
    auto* slots = static_cast<uint8_t*>(out);
    const size_t slot_count = size / sizeof(uint64_t);
    if (slot_count == 0) return;
    uint64_t count = filter.attribute_count;
    std::memcpy(slots, &count, sizeof count);
    for (size_t i = 0; i < filter.attribute_count && i + 1 < slot_count; ++i) {
        uint64_t address = reinterpret_cast<uintptr_t>(filter.attributes[i].name);
        std::memcpy(slots + (i + 1) * sizeof(uint64_t), &address, sizeof address);
    }
}

HostStatus get_attribute(const FilterDescription& filter, void* input, void* out) {
    const auto* request = static_cast<const AttributeGetRequest*>(input);
    const char* name = request != nullptr ? request->name : nullptr;
    int index = find_attribute(filter, name);
    if (index < 0) return unknown_attribute(filter, name);
    const AttributeDescription& attribute = filter.attributes[index];
    AttributeAnswer answer{};
    answer.type_code = attribute.type_code;
    answer.value_size = attribute.value_size;
    if (request->use_default != 0) {
        answer.value = attribute.default_value;
    } else {
        answer.value = request->settings != nullptr
                           ? static_cast<const uint8_t*>(request->settings) + attribute.offset
                           : nullptr;
    }
    if (out != nullptr) std::memcpy(out, &answer, sizeof answer);
    return 0;
}

HostStatus set_attribute(const FilterDescription& filter, void* input) {
    const auto* request = static_cast<const AttributeSetRequest*>(input);
    const char* name = request != nullptr ? request->name : nullptr;
    int index = find_attribute(filter, name);
    if (index < 0) return unknown_attribute(filter, name);
    if (request->settings == nullptr) return 0;
    const AttributeDescription& attribute = filter.attributes[index];
    uint8_t* field = static_cast<uint8_t*>(request->settings) + attribute.offset;
    if (attribute.value_size == 8) {
        std::memcpy(field, &request->value, 8);
    } else {
        uint32_t low = static_cast<uint32_t>(request->value);
        std::memcpy(field, &low, 4);
    }
    return 0;
}

}  // namespace

void bounded_copy(void* out, uint32_t size, const char* text) {
    if (out == nullptr) return;
    // strncpy's rule exactly: no terminator when the text fills the buffer.
    std::strncpy(static_cast<char*>(out), text, size);
}

void copy_code_list(void* out, uint32_t size, uint32_t count) {
    if (out == nullptr) return;
    const uint32_t list[1] = {kSaveCode};
    std::memcpy(out, list, std::min<uint64_t>(size, 4ull * std::min<uint32_t>(count, 1)));
}

HostStatus answer_filter_operation(const FilterDescription& filter, int32_t op, void* input, void* out,
                                   uint32_t out_size) {
    switch (op) {
        case KV_OP_NAME:
        case KV_OP_NAME_ALT:
            bounded_copy(out, out_size, filter.name);
            return 0;
        case KV_OP_FILE_PATTERN:
            bounded_copy(out, out_size, filter.file_pattern);
            return 0;
        case KV_OP_CODE_LIST:
            copy_code_list(out, out_size, 1);
            return 0;
        case KV_OP_CODE_LIST_COUNT:
            write_u32(out, 1);
            return 0;
        case KV_OP_SAVE_CODE_LIST:
        case KV_OP_SAVE_CODE_LIST_COUNT:
        case KV_OP_SAVE_CODE_LIST_2:
        case KV_OP_SAVE_CODE_LIST_COUNT_2:
            filter.answer_save_codes(op, input, out, out_size);
            return 0;
        case KV_OP_FLAGS:
            write_u32(out, filter.flags_word);
            return 0;
        case KV_OP_FORMAT_NUMBER:
            write_u32(out, filter.format_number);
            return 0;
        case KV_OP_SIGNATURE_TEST:
        case KV_OP_PAGE_INFO:
        case KV_OP_LOAD:
        case KV_OP_SAVE:
        case KV_OP_PAGE_COUNT:
            write_pointer(out, filter.entries[op - KV_OP_SIGNATURE_TEST]);
            return 0;
        case 15: case 16: case 17: case 18: case 19: case 20:
            write_pointer(out, nullptr);
            return 0;
        case KV_OP_COMMON_NUMBER:
            write_u32(out, kCommonNumber);
            return 0;
        case KV_OP_NUMBER_31:
            write_u32(out, filter.number_31);
            return 0;
        case KV_OP_SETTINGS_SIZE:
            write_u32(out, filter.settings_size);
            return 0;
        case KV_OP_SETTINGS_DEFAULTS:
            if (input != nullptr) filter.fill_defaults(input);
            return 0;
        case KV_OP_NOTHING:
            return 0;
        case KV_OP_ATTR_ENUMERATE:
            enumerate_attributes(filter, out, out_size);
            return 0;
        case KV_OP_ATTR_GET:
            return get_attribute(filter, input, out);
        case KV_OP_ATTR_SET:
            return set_attribute(filter, input);
        default:  // 21 to 29, and anything outside 1 to 39
            return record_error(filter.module, __LINE__, err::kUnknownOperation);
    }
}

}  // namespace kv
