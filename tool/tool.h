// Shared pieces of the kvlzw command-line tool: commands, argument parsing,
// loading the component, error reporting and output files.
#pragma once

#include "kvhost/component.h"
#include "kvhost/errors.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kvtool {

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct OptionSpec {
    std::string name;  // "-o", "--page"
    bool takes_value = false;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool help = false;
    std::string error;  // non-empty on a usage error

    bool has(const std::string& name) const { return values.count(name) != 0 || flags.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = "") const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

struct Command {
    const char* name;
    const char* summary;
    const char* help;  // full --help text
    std::vector<OptionSpec> options;
    int (*run)(const ParsedArgs& args);
    int order;  // position in the command list
};

// Each command file registers itself with a static Registration.
struct Registration {
    explicit Registration(Command command);
};
const std::vector<Command>& commands();

// Parses argv (after the command name); --help, -h and --module are known
// to every command.
ParsedArgs parse_args(const std::vector<std::string>& argv, const std::vector<OptionSpec>& options);

// Whole-number option values; a usage error (exit 2) when malformed.
bool parse_number(const std::string& text, uint64_t* value);

// Loads and starts the component named by --module or found beside the tool.
// Prints the reason and returns null on failure.
std::unique_ptr<kvhost::Component> load_component(const ParsedArgs& args);

// Prints every host error record as one line on stderr and clears them.
void report_host_errors();
// Prints each of these error records as one line on stderr, after the prefix.
void print_errors(const std::vector<kvhost::ErrorRecord>& errors, const char* prefix = "");
// Prints "kvlzw: <message>" on stderr.
void complain(const std::string& message);
int usage_error(const char* command, const std::string& message);

// A file written in full or not at all: bytes go to a temporary file beside
// the target, which replaces the target only on commit().
class OutputFile {
public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    bool ok() const { return file_ != nullptr; }
    std::FILE* file() { return file_; }
    const std::string& error() const { return error_; }
    bool write(const void* data, size_t size);
    bool commit();

private:
    std::string path_;
    std::string temp_path_;
    std::FILE* file_ = nullptr;
    std::string error_;
};

// Writes bytes to path as one OutputFile; false (with *error) on failure.
bool write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
bool read_whole_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

bool ends_with(const std::string& text, const std::string& suffix);

// JSON string literal with escapes.
std::string json_string(const std::string& text);

}  // namespace kvtool
