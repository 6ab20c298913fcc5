// kvlzw version: the component's identity.
#include "tool.h"

#include <cstdio>

namespace kvtool {
namespace {

int run_version(const ParsedArgs& args) {
    if (!args.positional.empty()) return usage_error("version", "takes no arguments");
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    const kvhost::ComponentIdentity id = component->identity();
    if (args.has("--json")) {
        std::printf("{\"name\": %s, \"major\": %u, \"minor\": %u, \"update\": %u, \"build_date\": %s, "
                    "\"description\": %s, \"module\": %s}\n",
                    json_string(id.name).c_str(), id.major, id.minor, id.update, json_string(id.build_date).c_str(),
                    json_string(id.description).c_str(), json_string(component->path()).c_str());
    } else {
        std::printf("%s %u.%u.%u (built %s)\n%s\nmodule: %s\n", id.name.c_str(), id.major, id.minor, id.update,
                    id.build_date.c_str(), id.description.c_str(), component->path().c_str());
    }
    return kExitOk;
}

const Registration registration({
    "version",
    "print the component's name, version, build date and description",
    "Usage: kvlzw version [--json] [--module PATH]\n"
    "\n"
    "Prints the identity that the component reports: name, major.minor.update\n"
    "version, build date, description, and the path it was loaded from.\n"
    "\n"
    "  --json          print one JSON object instead\n"
    "  --module PATH   load the component from PATH\n",
    {{"--json", false}},
    &run_version,
    10,
});

}  // namespace
}  // namespace kvtool
