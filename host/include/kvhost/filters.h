// A typed view of one registered filter: the control operations that an
// application needs, asked through the filter's control entry.
#pragma once

#include "kvhost/registry.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvhost {

struct FilterAttribute {
    std::string name;
    uint64_t type_code = 0;
    uint64_t value_size = 0;
    uint64_t default_value = 0;
};

class Filter {
public:
    explicit Filter(RegisteredFilter registered) : f_(registered) {}
    bool valid() const { return f_.control != nullptr; }

    std::string name() const;          // op 1
    std::string file_pattern() const;  // op 3
    uint32_t format_number() const;    // op 9
    void* entry(int32_t op) const;     // ops 10 to 20
    std::vector<FilterAttribute> attributes() const;  // ops 35, 36

    // A settings record of the filter's size (op 32) filled with its
    // defaults (op 33).
    std::vector<uint8_t> default_settings() const;
    // Op 37 / op 36 on a settings record; the status of the operation.
    HostStatus set_attribute(std::vector<uint8_t>& settings, const std::string& name, uint64_t value) const;
    std::optional<uint64_t> get_attribute(std::vector<uint8_t>& settings, const std::string& name) const;

    HostStatus control(int32_t op, void* input, void* out, uint32_t out_size) const {
        return f_.control(nullptr, op, input, nullptr, out, out_size);
    }

private:
    RegisteredFilter f_;
};

}  // namespace kvhost
