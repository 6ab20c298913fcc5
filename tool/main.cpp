// kvlzw: reads, writes and inspects GIF, TIFF LZW and raw LZW data through
// the LZW component.
#include "tool.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

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
                 "Run 'kvlzw help COMMAND' (or 'kvlzw COMMAND --help') for a command's options.\n"
                 "FILE may be - for standard input, and -o - writes standard output.\n"
                 "Exit status: 0 on success, 1 on a failure, 2 on a usage error.\n");
}

const Command* find_command(const std::string& name) {
    for (const Command& command : commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

void print_help(const Command& command) {
    std::fputs(command.help, stdout);
    std::fputs(kCommonOptionsHelp, stdout);
}

int unknown_command(const std::string& name) {
    std::fprintf(stderr, "kvlzw: unknown command '%s'\n", name.c_str());
    print_overview(stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_overview(stderr);
        return kExitUsage;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || (name == "help" && argc == 2)) {
        print_overview(stdout);
        return kExitOk;
    }
    if (name == "help") {
        const Command* command = find_command(argv[2]);
        if (command == nullptr) return unknown_command(argv[2]);
        print_help(*command);
        return kExitOk;
    }
    if (name == "--version") name = "version";
    const Command* command = find_command(name);
    if (command == nullptr) return unknown_command(name);
    ParsedArgs args = parse_args(std::vector<std::string>(argv + 2, argv + argc), command->options);
    if (args.help) {
        print_help(*command);
        return kExitOk;
    }
    if (args.error.empty()) args.error = apply_common_options(args, command->options);
    if (!args.error.empty()) return usage_error(command->name, args.error);
    // The host turns its own failures into error records; this is the last
    // guard for the tool's own work (PNG rows, conversions) on a huge image.
    try {
        return command->run(args);
    } catch (const std::bad_alloc&) {
        complain("out of memory (--max-memory and --max-pixels bound what one file may take)");
    } catch (const std::exception& e) {
        complain(std::string("unexpected failure: ") + e.what());
    }
    return kExitFailure;
}
