// Typed access to a registered filter's control operations.
#include "kvhost/filters.h"

#include <cstring>

namespace kvhost {

namespace {

std::string answer_text(const Filter& filter, int32_t op) {
    char text[256] = {};
    filter.control(op, nullptr, text, sizeof text - 1);
    return text;
}

uint32_t answer_u32(const Filter& filter, int32_t op) {
    uint32_t value = 0;
    filter.control(op, nullptr, &value, sizeof value);
    return value;
}

uint64_t read_value(const void* address, uint64_t size) {
    uint64_t value = 0;
    if (address != nullptr) std::memcpy(&value, address, size == 8 ? 8 : 4);
    return value;
}

}  // namespace

std::string Filter::name() const { return answer_text(*this, KV_OP_NAME); }

std::string Filter::file_pattern() const { return answer_text(*this, KV_OP_FILE_PATTERN); }

uint32_t Filter::format_number() const { return answer_u32(*this, KV_OP_FORMAT_NUMBER); }

void* Filter::entry(int32_t op) const {
    void* address = nullptr;
    control(op, nullptr, &address, sizeof address);
    return address;
}

std::vector<FilterAttribute> Filter::attributes() const {
    uint64_t slots[64] = {};
    control(KV_OP_ATTR_ENUMERATE, nullptr, slots, sizeof slots);
    std::vector<FilterAttribute> result;
    std::vector<uint8_t> settings = default_settings();
    for (uint64_t i = 0; i < slots[0] && i + 1 < 64; ++i) {
        FilterAttribute attribute;
        attribute.name = reinterpret_cast<const char*>(slots[i + 1]);
        AttributeGetRequest request{settings.data(), attribute.name.c_str(), 1};
        AttributeAnswer answer{};
        if (control(KV_OP_ATTR_GET, &request, &answer, sizeof answer) == 0) {
            attribute.type_code = answer.type_code;
            attribute.value_size = answer.value_size;
            attribute.default_value = read_value(answer.value, answer.value_size);
        }
        result.push_back(attribute);
    }
    return result;
}

std::vector<uint8_t> Filter::default_settings() const {
    std::vector<uint8_t> settings(answer_u32(*this, KV_OP_SETTINGS_SIZE));
    if (!settings.empty()) control(KV_OP_SETTINGS_DEFAULTS, settings.data(), nullptr, 0);
    return settings;
}

HostStatus Filter::set_attribute(std::vector<uint8_t>& settings, const std::string& name, uint64_t value) const {
    AttributeSetRequest request{settings.data(), name.c_str(), value};
    return control(KV_OP_ATTR_SET, &request, nullptr, 0);
}

std::optional<uint64_t> Filter::get_attribute(std::vector<uint8_t>& settings, const std::string& name) const {
    AttributeGetRequest request{settings.data(), name.c_str(), 0};
    AttributeAnswer answer{};
    if (control(KV_OP_ATTR_GET, &request, &answer, sizeof answer) != 0) return std::nullopt;
    return read_value(answer.value, answer.value_size);
}

}  // namespace kvhost
