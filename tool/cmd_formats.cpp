// kvlzw formats: the filters the component registered.
#include "kvhost/filters.h"
#include "kvhost/registry.h"
#include "kvhost/tiff.h"
#include "tool.h"

#include <cstdio>

namespace kvtool {
namespace {

int run_formats(const ParsedArgs& args) {
    if (!args.positional.empty()) return usage_error("formats", "takes no arguments");
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    const bool json = args.has("--json");
    if (json) std::printf("[");
    bool first = true;
    for (const kvhost::RegisteredFilter& registered : kvhost::registered_filters()) {
        kvhost::Filter filter(registered);
        const auto attributes = filter.attributes();
        if (json) {
            std::printf("%s\n  {\"name\": %s, \"pattern\": %s, \"format\": %u, \"attributes\": [", first ? "" : ",",
                        json_string(filter.name()).c_str(), json_string(filter.file_pattern()).c_str(),
                        filter.format_number());
            for (size_t i = 0; i < attributes.size(); ++i) {
                std::printf("%s{\"name\": %s, \"type\": %llu, \"size\": %llu, \"default\": %llu}", i ? ", " : "",
                            json_string(attributes[i].name).c_str(),
                            static_cast<unsigned long long>(attributes[i].type_code),
                            static_cast<unsigned long long>(attributes[i].value_size),
                            static_cast<unsigned long long>(attributes[i].default_value));
            }
            std::printf("]}");
        } else {
            std::printf("%-4s %-6s format %u\n", filter.name().c_str(), filter.file_pattern().c_str(),
                        filter.format_number());
            for (const auto& attribute : attributes) {
                std::printf("     %-16s type %llu, %llu bytes, default %llu\n", attribute.name.c_str(),
                            static_cast<unsigned long long>(attribute.type_code),
                            static_cast<unsigned long long>(attribute.value_size),
                            static_cast<unsigned long long>(attribute.default_value));
            }
        }
        first = false;
    }
    // The host's own TIFF reader, which hands the LZW strips to the component.
    if (json) {
        std::printf("%s\n  {\"name\": %s, \"pattern\": %s, \"reader\": \"host\", \"reads\": %s}\n]\n", first ? "" : ",",
                    json_string(kvhost::kTiffReaderName).c_str(), json_string(kvhost::kTiffReaderPattern).c_str(),
                    json_string(kvhost::kTiffReaderReads).c_str());
    } else {
        std::printf("%-4s %-6s host reader\n     reads %s\n", kvhost::kTiffReaderName, kvhost::kTiffReaderPattern,
                    kvhost::kTiffReaderReads);
    }
    return kExitOk;
}

const Registration registration({
    "formats",
    "list the registered format filters and their attributes",
    "Usage: kvlzw formats [--json] [--module PATH]\n"
    "\n"
    "Lists every format filter that the component registered: its name, file\n"
    "pattern and format number, and each attribute with its type code, size in\n"
    "bytes and default value. Then the host's TIFF reader, with what it reads.\n"
    "\n"
    "  --json          print a JSON array instead\n"
    "  --module PATH   load the component from PATH\n",
    {{"--json", false}},
    &run_formats,
    20,
});

}  // namespace
}  // namespace kvtool
