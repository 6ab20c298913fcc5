// kvlzw probe: which filter recognises a file.
#include "kvhost/filters.h"
#include "kvhost/registry.h"
#include "kvhost/tiff.h"
#include "decoders.h"
#include "tool.h"

#include <algorithm>
#include <cstdio>

namespace kvtool {
namespace {

// Signature tests look at the first bytes only.
constexpr size_t kProbeBytes = 256;

int run_probe(const ParsedArgs& args) {
    if (args.positional.size() != 1) return usage_error("probe", "needs exactly one FILE");
    Input input;
    if (!open_input(args.positional[0], &input)) return kExitFailure;
    const std::string path = input.name();
    const std::vector<uint8_t> bytes = input.head(kProbeBytes);

    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    kvhost::Filter filter(kvhost::probe_filters(bytes.data(), static_cast<uint32_t>(bytes.size())));
    if (!filter.valid() && sniff(bytes) == FileKind::kTiff) {
        // Not a component filter: the host's own TIFF reader takes it.
        if (args.has("--json")) {
            std::printf("{\"file\": %s, \"reader\": %s, \"reads\": %s}\n", json_string(path).c_str(),
                        json_string(kvhost::kTiffReaderName).c_str(), json_string(kvhost::kTiffReaderReads).c_str());
        } else {
            std::printf("%s\n", kvhost::kTiffReaderName);
        }
        return kExitOk;
    }
    if (!filter.valid()) {
        complain(path + ": no registered filter recognises this file");
        return kExitFailure;
    }
    if (args.has("--json")) {
        std::printf("{\"file\": %s, \"filter\": %s, \"format\": %u}\n", json_string(path).c_str(),
                    json_string(filter.name()).c_str(), filter.format_number());
    } else {
        std::printf("%s\n", filter.name().c_str());
    }
    return kExitOk;
}

const Registration registration({
    "probe",
    "name the filter whose signature test accepts a file",
    "Usage: kvlzw probe FILE [--json] [--module PATH]\n"
    "\n"
    "Reads the first bytes of FILE and prints the name of the registered filter\n"
    "whose signature test accepts them (GIF for GIF87a and GIF89a files), or TIFF\n"
    "for a file that the host's TIFF reader takes. Exits 1 when nothing recognises\n"
    "the file. Raw LZW data has no signature and is never recognised.\n"
    "\n"
    "  --json          print a JSON object instead\n"
    "  --module PATH   load the component from PATH\n",
    {{"--json", false}},
    &run_probe,
    30,
});

}  // namespace
}  // namespace kvtool
