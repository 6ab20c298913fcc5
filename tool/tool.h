// Shared pieces of the kvlzw command-line tool: commands, argument parsing,
// loading the component, error reporting and output files.
#pragma once

#include "kvhost/component.h"
#include "kvhost/errors.h"
#include "kvhost/gif.h"
#include "kvhost/mapped_file.h"
#include "kvhost/memory.h"
#include "kvhost/stream.h"

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

// Parses argv (after the command name); --help, -h and the options below
// are known to every command.
ParsedArgs parse_args(const std::vector<std::string>& argv, const std::vector<OptionSpec>& options);

// Options every command takes: --module PATH, --max-memory SIZE (the memory
// budget of an operation), --max-pixels N (the largest image decoded),
// --verbose (error records with their source location), --format png|bin
// (the image format for -o -, unless the command's own options take
// --format). Applies them; a usage error message (exit 2) when one is
// malformed or does not apply.
std::string apply_common_options(const ParsedArgs& args, const std::vector<OptionSpec>& own_options);
extern const char* const kCommonOptionsHelp;
// The --format value ("png", "bin", or "" when not given).
const std::string& standard_output_format();

// Whole-number option values; a usage error (exit 2) when malformed.
bool parse_number(const std::string& text, uint64_t* value);
// A size in bytes: a whole number, optionally with K, M or G (powers of 1024).
bool parse_size(const std::string& text, uint64_t* value);

// The largest image, in pixels, that the tool decodes (--max-pixels).
inline constexpr uint64_t kDefaultMaxPixels = 89478485;  // 0.25 GiB of 24-bit pixels
// True when width x height is within the limit; otherwise says so (and how
// to raise it) and returns false.
bool pixels_allowed(const std::string& name, uint64_t width, uint64_t height);
// The same check, silent.
bool pixels_within_limit(uint64_t width, uint64_t height);

// An input named on the command line: a file, or "-" for standard input.
// Only its first bytes are read when it is opened, so that a command can
// tell its format before reading the rest. A regular file is then mapped;
// standard input and other inputs that cannot seek (a named pipe, a
// device) are read whole into memory that counts against the memory
// budget for as long as the input is open, and reading stops at the budget.
class InputBytes;
struct Input {
    Input();
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    std::string path;
    bool in_memory = false;

    std::string name() const { return path == "-" ? "standard input" : path; }
    // The first bytes (up to kInputHeadBytes), read when the input was opened.
    const std::vector<uint8_t>& head() const { return head_; }
    std::vector<uint8_t> head(size_t count) const;
    // Reads the rest of an input that cannot be mapped, within the memory
    // budget; false after a message.
    bool read_rest();

    // A stream over the input (after read_rest); null (after a message) when it cannot be opened.
    std::unique_ptr<HostStream> stream() const;
    // A read-only stream over one mapping of the input that every such
    // stream shares (separate file streams would each map the file, and
    // the process would count its pages once per mapping); null after a
    // message when the file cannot be read.
    std::unique_ptr<HostStream> shared_stream() const;
    kvhost::gif::Source gif_source() const;
    // The whole input, mapped or in memory (after read_rest); null after a message.
    bool whole(const uint8_t** data, size_t* size) const;

private:
    friend bool open_input(const std::string& path, Input* input);
    std::vector<uint8_t> head_;
    int fd_ = -1;  // a non-regular input until it is read whole
    std::unique_ptr<InputBytes> bytes_;
    mutable std::shared_ptr<kvhost::MappedFile> mapping_;
};
inline constexpr size_t kInputHeadBytes = 256;
// Opens the input and reads its first bytes, or says why not (the system's
// reason) and returns false.
bool open_input(const std::string& path, Input* input);
// Opens the input, looks at its first bytes with `accept` (which says why
// when it refuses them) and only then reads the rest.
template <typename Accept>
bool open_input(const std::string& path, Input* input, Accept accept) {
    return open_input(path, input) && accept(input->head()) && input->read_rest();
}
// True when the bytes start a GIF (GIF87a or GIF89a).
bool is_gif_signature(const std::vector<uint8_t>& head);
// A descriptor to read the input front to back (0 for "-"), or -1 after a message.
int open_input_descriptor(const std::string& path);

// Counts an output being built in memory against the memory budget (what
// `held` holds grows with the buffer's room); false after a message naming
// `what` when it no longer fits.
bool hold_output(kvhost::memory::Reservation* held, const std::vector<uint8_t>& bytes, const std::string& what);

// Loads and starts the component named by --module or found beside the tool.
// Prints the reason and returns null on failure.
std::unique_ptr<kvhost::Component> load_component(const ParsedArgs& args);

// One error record as a line: its code, meaning and text; with --verbose
// also where it was recorded and its details.
std::string error_line(const kvhost::ErrorRecord& record);
// Prints every host error record as one line on stderr and clears them.
void report_host_errors();
// Prints each of these error records as one line on stderr, after the prefix.
void print_errors(const std::vector<kvhost::ErrorRecord>& errors, const char* prefix = "");
// Prints "kvlzw: <message>" on stderr.
void complain(const std::string& message);
int usage_error(const char* command, const std::string& message);

// A file written in full or not at all: bytes go to a temporary file beside
// the target, which replaces the target only on commit(). An interrupted run
// (SIGINT, SIGTERM) removes the temporary file. A symbolic link is followed:
// the file it points to is replaced. An existing file that the user may not
// write is refused. "-" is standard output, written as it comes.
class OutputFile {
public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    bool ok() const { return file_ != nullptr; }
    std::FILE* file() { return file_; }
    const std::string& error() const { return error_; }
    bool write(const void* data, size_t size);
    bool commit();

private:
    void fail(const char* action);
    std::string path_;    // as given, for messages
    std::string target_;  // the file replaced: the path with its links followed
    std::string temp_path_;
    std::FILE* file_ = nullptr;
    bool to_stdout_ = false;
    std::string error_;
};

// Writes bytes to path as one OutputFile; false (with *error) on failure.
bool write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

bool ends_with(const std::string& text, const std::string& suffix);

// JSON string literal with escapes.
std::string json_string(const std::string& text);

}  // namespace kvtool
