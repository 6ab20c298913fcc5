#include "tool.h"

#include "kvhost/errors.h"
#include "kvhost/memory.h"
#include "kvhost/sequential_stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvtool {

namespace {

std::vector<Command>& command_list() {
    static std::vector<Command> list;
    return list;
}

const OptionSpec kCommonOptions[] = {
    {"--module", true}, {"--max-memory", true}, {"--max-pixels", true}, {"--verbose", false}, {"--format", true}};

uint64_t g_max_pixels = kDefaultMaxPixels;
bool g_verbose = false;
std::string g_format;

std::string system_reason() { return std::strerror(errno); }

}  // namespace

const char* const kCommonOptionsHelp =
    "  --max-memory SIZE  memory one operation may use (K, M, G suffixes); default 1G\n"
    "  --max-pixels N     largest image decoded, in pixels; default 89478485\n"
    "  --verbose          show where each error was recorded\n";

std::string apply_common_options(const ParsedArgs& args, const std::vector<OptionSpec>& own_options) {
    uint64_t value = 0;
    if (args.has("--max-memory")) {
        if (!parse_size(args.value("--max-memory"), &value) || value == 0)
            return "--max-memory takes a size such as 512M or 2G";
        kvhost::memory::set_operation_limit(value);
    }
    if (args.has("--max-pixels")) {
        if (!parse_number(args.value("--max-pixels"), &value) || value == 0)
            return "--max-pixels takes a whole number of pixels";
        g_max_pixels = value;
    }
    g_verbose = args.has("--verbose");
    // A command with a --format of its own (frames: the kind of its files) reads it itself.
    const bool own_format = std::any_of(own_options.begin(), own_options.end(),
                                        [](const OptionSpec& o) { return o.name == "--format"; });
    if (args.has("--format") && !own_format) {
        const std::string format = args.value("--format");
        if (format != "png" && format != "bin") return "--format takes png or bin";
        if (args.value("-o") != "-") return "--format applies to -o - only (a file's extension names its format)";
        g_format = format;
    }
    return "";
}

const std::string& standard_output_format() { return g_format; }

bool parse_size(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t scale = 1;
    std::string digits = text;
    switch (text.back()) {
        case 'K': case 'k': scale = uint64_t{1} << 10; break;
        case 'M': case 'm': scale = uint64_t{1} << 20; break;
        case 'G': case 'g': scale = uint64_t{1} << 30; break;
        default: break;
    }
    if (scale != 1) digits.pop_back();
    uint64_t number = 0;
    if (!parse_number(digits, &number) || number > UINT64_MAX / scale) return false;
    *value = number * scale;
    return true;
}

bool pixels_within_limit(uint64_t width, uint64_t height) {
    return static_cast<unsigned __int128>(width) * height <= g_max_pixels;
}

bool pixels_allowed(const std::string& name, uint64_t width, uint64_t height) {
    if (pixels_within_limit(width, height)) return true;
    const unsigned __int128 over = static_cast<unsigned __int128>(width) * height - g_max_pixels;
    complain(name + ": " + std::to_string(width) + " x " + std::to_string(height) + " pixels is " +
             std::to_string(static_cast<uint64_t>(over)) + " more than the limit of " + std::to_string(g_max_pixels) +
             " (--max-pixels N raises it)");
    return false;
}

// The bytes of an input that cannot be mapped, in one anonymous mapping
// that grows in place (mremap moves pages without copying them, so the
// input never needs twice its size), counted against the memory budget.
class InputBytes {
public:
    InputBytes() = default;
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;
    ~InputBytes() {
        if (data_ != nullptr) munmap(data_, capacity_);
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // The head already read, then everything up to the end of fd; false
    // after a message on a read failure or past the budget.
    bool read(int fd, const std::string& name, const std::vector<uint8_t>& head) {
        if (!append(head.data(), head.size(), name)) return false;
        for (;;) {
            if (size_ == capacity_ && !grow(name)) return false;
            const size_t room = std::min(capacity_ - size_, kMaxRead);
            const ssize_t n = ::read(fd, data_ + size_, room);
            if (n == 0) return true;
            if (n < 0) {
                if (errno == EINTR) continue;
                complain("cannot read " + name + ": " + system_reason());
                return false;
            }
            size_ += static_cast<size_t>(n);
        }
    }

private:
    static constexpr size_t kFirstCapacity = size_t{1} << 20;
    static constexpr size_t kLargestStep = size_t{64} << 20;
    static constexpr size_t kMaxRead = size_t{1} << 20;

    bool append(const uint8_t* bytes, size_t count, const std::string& name) {
        while (capacity_ - size_ < count) {
            if (!grow(name)) return false;
        }
        if (count != 0) std::memcpy(data_ + size_, bytes, count);
        size_ += count;
        return true;
    }

    // More room: double, by at most 64 MiB a step, and at the end of the
    // budget whatever is left of it.
    bool grow(const std::string& name) {
        const uint64_t limit = kvhost::memory::operation_limit();
        const uint64_t used = kvhost::memory::operation_bytes();
        size_t step = capacity_ == 0 ? kFirstCapacity : std::min(capacity_, kLargestStep);
        if (used + step > limit) step = used < limit ? static_cast<size_t>(limit - used) & ~size_t{4095} : 0;
        if (step == 0 || !reserved_.reserve(step)) {
            complain(name + " is larger than the memory budget of " + std::to_string(limit) +
                     " bytes allows: reading stopped after " + std::to_string(size_) + " bytes (--max-memory raises it)");
            return false;
        }
        void* grown = capacity_ == 0 ? mmap(nullptr, step, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                     : mremap(data_, capacity_, capacity_ + step, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED) {
            complain("cannot read " + name + ": " + system_reason());
            return false;
        }
        data_ = static_cast<uint8_t*>(grown);
        capacity_ += step;
        return true;
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    kvhost::memory::Reservation reserved_;
};

Input::Input() = default;
Input::~Input() {
    if (fd_ > 0) close(fd_);
}

bool Input::read_rest() {
    if (fd_ < 0) return true;
    bytes_ = std::make_unique<InputBytes>();
    const bool read = bytes_->read(fd_, name(), head_);
    if (fd_ != 0) close(fd_);
    fd_ = -1;
    return read;
}

bool Input::whole(const uint8_t** data, size_t* size) const {
    if (in_memory) {
        *data = bytes_->data();
        *size = bytes_->size();
        return true;
    }
    if (mapping_ == nullptr) mapping_ = std::make_shared<kvhost::MappedFile>(path);
    if (!mapping_->ok()) {
        complain(mapping_->error());
        return false;
    }
    *data = mapping_->data();
    *size = mapping_->size();
    return true;
}

std::unique_ptr<HostStream> Input::stream() const {
    if (in_memory) return kvhost::memory_view_stream(bytes_->data(), bytes_->size());
    std::string error;
    auto opened = kvhost::file_stream(path, kvhost::FileMode::kRead, &error);
    if (opened == nullptr) complain(error);
    return opened;
}

std::unique_ptr<HostStream> Input::shared_stream() const {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!whole(&data, &size)) return nullptr;
    return kvhost::memory_view_stream(data, size);
}

kvhost::gif::Source Input::gif_source() const {
    return in_memory ? kvhost::gif::Source::memory(bytes_->data(), bytes_->size()) : kvhost::gif::Source::file(path);
}

std::vector<uint8_t> Input::head(size_t count) const {
    return std::vector<uint8_t>(head_.begin(), head_.begin() + static_cast<std::ptrdiff_t>(std::min(count, head_.size())));
}

bool is_gif_signature(const std::vector<uint8_t>& head) {
    return head.size() >= 6 && std::memcmp(head.data(), "GIF8", 4) == 0 && (head[4] == '7' || head[4] == '9') &&
           head[5] == 'a';
}

int open_input_descriptor(const std::string& path) {
    if (path == "-") return 0;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        complain("cannot open " + path + ": " + system_reason());
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        complain("cannot read " + path + ": " + std::strerror(EISDIR));
        return -1;
    }
    return fd;
}

bool open_input(const std::string& path, Input* input) {
    input->path = path;
    const int fd = open_input_descriptor(path);
    if (fd < 0) return false;
    struct stat info;
    input->in_memory = path == "-" || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode);
    input->head_.resize(kInputHeadBytes);
    size_t got = 0;
    while (got < kInputHeadBytes) {
        const ssize_t n = ::read(fd, input->head_.data() + got, kInputHeadBytes - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            complain("cannot read " + input->name() + ": " + system_reason());
            if (fd != 0) close(fd);
            return false;
        }
        got += static_cast<size_t>(n);
    }
    input->head_.resize(got);
    // A regular file is mapped when it is read; a pipe or device is read
    // on from where the head ended.
    if (input->in_memory) {
        input->fd_ = fd;
    } else {
        close(fd);
    }
    return true;
}

bool hold_output(kvhost::memory::Reservation* held, const std::vector<uint8_t>& bytes, const std::string& what) {
    if (bytes.capacity() <= held->bytes() || held->reserve(bytes.capacity() - held->bytes())) return true;
    complain(what + " is larger than the memory budget of " + std::to_string(kvhost::memory::operation_limit()) +
             " bytes allows (" + std::to_string(bytes.size()) + " bytes so far; --max-memory raises it)");
    return false;
}

Registration::Registration(Command command) {
    auto& list = command_list();
    auto at = list.begin();
    while (at != list.end() && at->order <= command.order) ++at;
    list.insert(at, std::move(command));
}

const std::vector<Command>& commands() { return command_list(); }

ParsedArgs parse_args(const std::vector<std::string>& argv, const std::vector<OptionSpec>& options) {
    ParsedArgs parsed;
    std::vector<OptionSpec> known = options;
    known.insert(known.end(), std::begin(kCommonOptions), std::end(kCommonOptions));
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--") {
            parsed.positional.insert(parsed.positional.end(), argv.begin() + i + 1, argv.end());
            break;
        }
        if (arg.size() > 1 && arg[0] == '-') {  // a lone "-" is standard input
            std::string name = arg;
            std::string inline_value;
            bool has_inline = false;
            if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                name = arg.substr(0, eq);
                inline_value = arg.substr(eq + 1);
                has_inline = true;
            }
            const OptionSpec* spec = nullptr;
            for (const OptionSpec& candidate : known) {
                if (candidate.name == name) spec = &candidate;
            }
            if (spec == nullptr) {
                parsed.error = "unknown option " + name;
                return parsed;
            }
            if (!spec->takes_value) {
                if (has_inline) {
                    parsed.error = name + " takes no value";
                    return parsed;
                }
                parsed.flags.insert(name);
            } else if (has_inline) {
                parsed.values[name] = inline_value;
            } else if (i + 1 < argv.size()) {
                parsed.values[name] = argv[++i];
            } else {
                parsed.error = name + " needs a value";
                return parsed;
            }
            continue;
        }
        parsed.positional.push_back(arg);
    }
    return parsed;
}

bool parse_number(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = result;
    return true;
}

std::unique_ptr<kvhost::Component> load_component(const ParsedArgs& args) {
    const std::string path = args.value("--module", kvhost::default_module_path());
    std::string error;
    std::unique_ptr<kvhost::Component> component = kvhost::Component::load(path, &error);
    if (component == nullptr) {
        complain(error);
        report_host_errors();
    }
    return component;
}

std::string error_line(const kvhost::ErrorRecord& record) {
    if (g_verbose) return kvhost::describe(record);
    std::string line = "error " + std::to_string(record.code);
    const char* meaning = kvhost::error_meaning(record.code);
    // One code, two meanings: the one of the module that recorded it.
    if (record.code == -2391) {
        meaning = record.module.find("gifMultSource") != std::string::npos ? "frame at time without frames"
                                                                           : "bad LZW minimum code size or code";
    }
    if (*meaning != '\0') line += std::string(" (") + meaning + ")";
    if (record.has_text) line += ": " + record.text;
    // The component's allocations fail at the budget long before the system's.
    if (record.code == -1000) {
        line += "; the memory budget is " + std::to_string(kvhost::memory::operation_limit()) +
                " bytes (--max-memory raises it)";
    }
    return line;
}

void report_host_errors() {
    print_errors(kvhost::error_records());
    kvhost::clear_errors();
}

// Each distinct line once, in the order first seen, with how often it came:
// a damaged file can record the same error for every row or strip.
void print_errors(const std::vector<kvhost::ErrorRecord>& errors, const char* prefix) {
    std::vector<std::pair<std::string, size_t>> lines;
    for (const kvhost::ErrorRecord& record : errors) {
        const std::string line = error_line(record);
        auto seen = std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.first == line; });
        if (seen != lines.end()) {
            ++seen->second;
        } else {
            lines.emplace_back(line, 1);
        }
    }
    for (const auto& [line, times] : lines) {
        const std::string count = times > 1 ? " (" + std::to_string(times) + " times)" : "";
        std::fprintf(stderr, "kvlzw: %s%s%s\n", prefix, line.c_str(), count.c_str());
    }
}

void complain(const std::string& message) { std::fprintf(stderr, "kvlzw: %s\n", message.c_str()); }

int usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "kvlzw %s: %s\nTry 'kvlzw %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

namespace {

// Temporary files being written, for the signal handler to remove. Fixed
// slots of plain characters: the handler may only use what is safe there.
constexpr int kTempSlots = 4;
char g_temp_paths[kTempSlots][PATH_MAX];
std::atomic<bool> g_temp_used[kTempSlots];

void remove_temporaries_and_die(int signal_number) {
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_used[i].load()) unlink(g_temp_paths[i]);
    }
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// The signals that remove the temporaries before the tool dies.
constexpr int kRemovingSignals[] = {SIGINT, SIGTERM, SIGHUP};

int track_temporary(const std::string& path) {
    static const bool installed = [] {
        for (const int signal_number : kRemovingSignals) std::signal(signal_number, remove_temporaries_and_die);
        return true;
    }();
    (void)installed;
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_used[i].load()) continue;
        std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
        g_temp_used[i].store(true);
        return i;
    }
    return -1;
}

// Creates a temporary file from the template (mkstemp) and registers it for
// removal. The removing signals wait meanwhile: one arriving between the two
// would leave the file behind. Returns the descriptor, or -1 with errno set.
int create_temporary(std::string* path) {
    sigset_t removing, previous;
    sigemptyset(&removing);
    for (const int signal_number : kRemovingSignals) sigaddset(&removing, signal_number);
    sigprocmask(SIG_BLOCK, &removing, &previous);
    const int fd = mkstemp(path->data());
    const int create_error = errno;
    if (fd >= 0) track_temporary(*path);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = create_error;
    return fd;
}

void untrack_temporary(const std::string& path) {
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_used[i].load() && path == g_temp_paths[i]) g_temp_used[i].store(false);
    }
}

// The file a path names once its symbolic links are followed (the path
// itself when it is no link); a dangling link names the file it would create.
std::string link_target(const std::string& path) {
    std::string at = path;
    for (int depth = 0; depth < 40; ++depth) {
        char buffer[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), buffer, sizeof buffer - 1);
        if (n < 0) return at;
        std::string next(buffer, static_cast<size_t>(n));
        if (next[0] != '/') {
            const size_t slash = at.rfind('/');
            if (slash != std::string::npos) next = at.substr(0, slash + 1) + next;
        }
        at = next;
    }
    return at;
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    if (path_ == "-") {
        to_stdout_ = true;
        file_ = stdout;
        return;
    }
    target_ = link_target(path_);
    struct stat existing;
    const bool exists = stat(target_.c_str(), &existing) == 0;
    // A file without write permission is refused even where the user could
    // replace it (as root, or in a writable directory).
    const int refusal = !exists ? 0 : access(target_.c_str(), W_OK) != 0 ? errno : (existing.st_mode & 0222) == 0 ? EACCES : 0;
    if (refusal != 0) {
        error_ = "cannot write " + path_ + ": " + std::strerror(refusal) + " (the existing file is left as it is)";
        return;
    }
    temp_path_ = target_ + ".partial-XXXXXX";
    const int fd = create_temporary(&temp_path_);
    if (fd < 0) {
        error_ = "cannot create " + path_ + ": " + system_reason();
        return;
    }
    // A replaced file keeps its permissions; a new one gets the usual ones
    // (mkstemp creates it 0600).
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, exists ? existing.st_mode & 07777 : 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        fail("write");
        close(fd);
        return;
    }
    // Large blocks: images are written in few system calls.
    setvbuf(file_, nullptr, _IOFBF, size_t{1} << 20);
}

OutputFile::~OutputFile() {
    if (file_ != nullptr && !to_stdout_) {
        std::fclose(file_);
        file_ = nullptr;
        fail("finish");
    }
}

void OutputFile::fail(const char* action) {
    if (error_.empty()) error_ = std::string("cannot ") + action + " " + path_ + ": " + system_reason();
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
        untrack_temporary(temp_path_);
        temp_path_.clear();
    }
}

bool OutputFile::write(const void* data, size_t size) {
    if (file_ == nullptr) return false;
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
        error_ = "cannot write " + path_ + ": " + system_reason();
        return false;
    }
    return true;
}

bool OutputFile::commit() {
    if (file_ == nullptr) return false;
    if (to_stdout_) {
        file_ = nullptr;
        if (std::fflush(stdout) != 0) {
            error_ = "cannot write standard output: " + system_reason();
            return false;
        }
        return true;
    }
    // No fsync: the rename makes the new file appear whole or not at all to
    // every reader, which is what an interrupted or failed run needs.
    const bool written = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed || std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        fail("write");
        return false;
    }
    untrack_temporary(temp_path_);
    temp_path_.clear();
    return true;
}

bool write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
    OutputFile out(path);
    if (!out.ok() || !out.write(bytes.data(), bytes.size()) || !out.commit()) {
        if (error != nullptr) *error = out.error();
        return false;
    }
    return true;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace kvtool
