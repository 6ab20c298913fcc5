#include "tool.h"

#include "kvhost/errors.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvtool {

namespace {

std::vector<Command>& command_list() {
    static std::vector<Command> list;
    return list;
}

}  // namespace

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
    known.push_back({"--module", true});
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
        if (arg.size() > 1 && arg[0] == '-') {
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

void report_host_errors() {
    for (const kvhost::ErrorRecord& record : kvhost::error_records()) {
        std::fprintf(stderr, "kvlzw: %s\n", kvhost::describe(record).c_str());
    }
    kvhost::clear_errors();
}

void print_errors(const std::vector<kvhost::ErrorRecord>& errors, const char* prefix) {
    for (const kvhost::ErrorRecord& record : errors) {
        std::fprintf(stderr, "kvlzw: %s%s\n", prefix, kvhost::describe(record).c_str());
    }
}

void complain(const std::string& message) { std::fprintf(stderr, "kvlzw: %s\n", message.c_str()); }

int usage_error(const char* command, const std::string& message) {
    std::fprintf(stderr, "kvlzw %s: %s\nTry 'kvlzw %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    temp_path_ = path_ + ".partial-XXXXXX";
    int fd = mkstemp(temp_path_.data());
    if (fd < 0) {
        error_ = "cannot create " + path_ + ": " + std::strerror(errno);
        return;
    }
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        close(fd);
        unlink(temp_path_.c_str());
    }
}

OutputFile::~OutputFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
        unlink(temp_path_.c_str());
    }
}

bool OutputFile::write(const void* data, size_t size) {
    if (file_ == nullptr) return false;
    if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool OutputFile::commit() {
    if (file_ == nullptr) return false;
    const bool flushed = std::fflush(file_) == 0 && fsync(fileno(file_)) == 0;
    std::fclose(file_);
    file_ = nullptr;
    // mkstemp creates the file 0600; give the result the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp_path_.c_str(), 0666 & ~mask);
    if (!flushed || std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        unlink(temp_path_.c_str());
        return false;
    }
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

bool read_whole_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes->clear();
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed && error != nullptr) *error = "cannot read " + path;
    return !failed;
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
