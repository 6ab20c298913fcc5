// kvlzw: reads, writes and inspects GIF, TIFF LZW and raw LZW data through
// the LZW component.
#include "tool.h"

#include <cstdio>
#include <cstring>

using namespace kvtool;

namespace {

void print_overview(std::FILE* out) {
    std::fprintf(out,
                 "Usage: kvlzw COMMAND [OPTIONS] [ARGS]\n"
                 "\n"
                 "Reads, writes and inspects GIF, TIFF LZW and raw LZW data through the LZW\n"
                 "component (libkvLZW19d.so, found beside this program unless --module PATH\n"
                 "names another).\n"
                 "\n"
                 "Commands:\n");
    for (const Command& command : commands()) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out,
                 "\n"
                 "Run 'kvlzw COMMAND --help' for a command's options.\n"
                 "Exit status: 0 on success, 1 on a failure, 2 on a usage error.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_overview(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        print_overview(stdout);
        return kExitOk;
    }
    for (const Command& command : commands()) {
        if (name != command.name) continue;
        ParsedArgs args = parse_args(std::vector<std::string>(argv + 2, argv + argc), command.options);
        if (args.help) {
            std::fputs(command.help, stdout);
            return kExitOk;
        }
        if (!args.error.empty()) return usage_error(command.name, args.error);
        return command.run(args);
    }
    std::fprintf(stderr, "kvlzw: unknown command '%s'\n", name.c_str());
    print_overview(stderr);
    return kExitUsage;
}
