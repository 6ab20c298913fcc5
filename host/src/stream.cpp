// Streams over memory and files (IO_read, IO_write, IO_seek, IO_tell, the
// byte and word services, byte order, IO_open and IO_close).
#include "kvhost/errors.h"
#include "kvhost/mapped_file.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace kvhost {
namespace {

// Bytes in memory that grow as they are written. The bytes it started with
// that writes replace are kept aside, so that the start can be restored
// without a copy of everything made beforehand.
class MemoryBackend final : public StreamBackend {
public:
    explicit MemoryBackend(std::vector<uint8_t> bytes)
        : bytes_(std::move(bytes)), original_size_(bytes_.size()), kept_from_(original_size_) {}
    uint64_t read(int64_t position, void* buffer, uint64_t count) override {
        if (position >= static_cast<int64_t>(bytes_.size())) return 0;
        uint64_t n = std::min<uint64_t>(count, bytes_.size() - position);
        std::memcpy(buffer, bytes_.data() + position, n);
        return n;
    }
    uint64_t write(int64_t position, const void* buffer, uint64_t count) override {
        if (count == 0) return 0;
        keep_original_from(static_cast<size_t>(position));
        if (position + count > bytes_.size()) bytes_.resize(position + count);
        std::memcpy(bytes_.data() + position, buffer, count);
        return count;
    }
    int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void adopt(std::vector<uint8_t>&& bytes) noexcept {
        bytes_ = std::move(bytes);
        original_size_ = kept_from_ = bytes_.size();
        kept_.clear();
    }
    std::vector<uint8_t> take() { return std::move(bytes_); }
    std::vector<uint8_t> take_original() {
        bytes_.resize(original_size_);
        std::copy(kept_.begin(), kept_.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(kept_from_));
        return std::move(bytes_);
    }

private:
    // Bytes at and past kept_from_ (up to the original size) are in kept_;
    // those before it are still the original ones.
    void keep_original_from(size_t position) {
        if (position >= kept_from_) return;
        kept_.insert(kept_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(position),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(kept_from_));
        kept_from_ = position;
    }

    std::vector<uint8_t> bytes_;
    size_t original_size_;
    size_t kept_from_;
    std::vector<uint8_t> kept_;
};

// Read-only bytes in memory: the caller's, or a mapped file's that it owns.
class ViewBackend final : public StreamBackend {
public:
    ViewBackend(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit ViewBackend(std::unique_ptr<MappedFile> file)
        : data_(file->data()), size_(file->size()), file_(std::move(file)) {}
    uint64_t read(int64_t position, void* buffer, uint64_t count) override {
        if (position >= static_cast<int64_t>(size_)) return 0;
        uint64_t n = std::min<uint64_t>(count, size_ - position);
        // Readers take many single bytes (block lengths, fields).
        if (n == 1) {
            *static_cast<uint8_t*>(buffer) = data_[position];
        } else {
            std::memcpy(buffer, data_ + position, n);
        }
        return n;
    }
    uint64_t write(int64_t, const void*, uint64_t) override { return 0; }
    int64_t size() const override { return static_cast<int64_t>(size_); }

private:
    const uint8_t* data_;
    size_t size_;
    std::unique_ptr<MappedFile> file_;
};

class FileBackend final : public StreamBackend {
public:
    explicit FileBackend(std::FILE* file) : file_(file) {}
    ~FileBackend() override { std::fclose(file_); }
    uint64_t read(int64_t position, void* buffer, uint64_t count) override {
        if (!move_to(position)) return 0;
        uint64_t n = std::fread(buffer, 1, count, file_);
        at_ += static_cast<int64_t>(n);
        if (n < count) {
            std::clearerr(file_);
            at_ = -1;
        }
        return n;
    }
    uint64_t write(int64_t position, const void* buffer, uint64_t count) override {
        if (!move_to(position)) return 0;
        uint64_t n = std::fwrite(buffer, 1, count, file_);
        at_ = n == count ? at_ + static_cast<int64_t>(n) : -1;
        return n;
    }
    int64_t size() const override {
        long here = std::ftell(file_);
        std::fseek(file_, 0, SEEK_END);
        long end = std::ftell(file_);
        std::fseek(file_, here, SEEK_SET);
        return end;
    }
    bool flush() override { return std::fflush(file_) == 0; }

private:
    // Seeks only when the position is not where the last transfer ended, so
    // sequential reads stay inside stdio's buffer.
    bool move_to(int64_t position) {
        if (position == at_) return true;
        if (std::fseek(file_, position, SEEK_SET) != 0) return false;
        at_ = position;
        return true;
    }
    std::FILE* file_;
    int64_t at_ = 0;
};

std::unique_ptr<HostStream> stream_with(std::unique_ptr<StreamBackend> backend) {
    auto stream = std::make_unique<HostStream>();
    stream->backend = std::move(backend);
    return stream;
}

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A regular file opened for reading is mapped: reads and seeks are then
// plain memory accesses, with no system call per small seek.
std::unique_ptr<StreamBackend> mapped_backend(const std::string& path) {
    if (!is_regular_file(path)) return nullptr;
    auto file = std::make_unique<MappedFile>(path);
    if (!file->ok()) return nullptr;
    return std::make_unique<ViewBackend>(std::move(file));
}

std::FILE* open_file(const std::string& path, FileMode mode) {
    switch (mode) {
        case FileMode::kRead: return std::fopen(path.c_str(), "rb");
        case FileMode::kWrite: return std::fopen(path.c_str(), "w+b");
        case FileMode::kReadWrite: {
            std::FILE* file = std::fopen(path.c_str(), "r+b");
            return file != nullptr ? file : std::fopen(path.c_str(), "w+b");
        }
    }
    return nullptr;
}

// The file's backend: mapped for reading when it can be, else stdio. Null
// (errno set) when the file cannot be opened.
std::unique_ptr<StreamBackend> open_backend(const std::string& path, FileMode mode) {
    if (mode == FileMode::kRead) {
        if (auto backend = mapped_backend(path)) return backend;
    }
    std::FILE* file = open_file(path, mode);
    if (file == nullptr) return nullptr;
    return std::make_unique<FileBackend>(file);
}

// Bytes of a transfer that the injected budget lets through.
uint64_t within_budget(int64_t& budget, uint64_t count) {
    if (budget < 0) return count;
    uint64_t allowed = std::min<uint64_t>(count, static_cast<uint64_t>(budget));
    budget -= static_cast<int64_t>(allowed);
    return allowed;
}

// The stream's position, moved past the hidden bytes when it stands among them.
int64_t visible_position(HostStream* stream) {
    if (stream->position >= stream->hidden_from && stream->position < stream->hidden_to) {
        stream->position = stream->hidden_to + (stream->position - stream->hidden_from);
    }
    return stream->position;
}

}  // namespace

std::unique_ptr<HostStream> memory_stream(std::vector<uint8_t> bytes) {
    return stream_with(std::make_unique<MemoryBackend>(std::move(bytes)));
}

std::unique_ptr<HostStream> memory_view_stream(const uint8_t* data, size_t size) {
    return stream_with(std::make_unique<ViewBackend>(data, size));
}

std::unique_ptr<HostStream> file_stream(const std::string& path, FileMode mode, std::string* error) {
    auto backend = open_backend(path, mode);
    if (backend == nullptr) {
        if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto stream = stream_with(std::move(backend));
    name_stream(*stream, path);
    return stream;
}

std::unique_ptr<HostStream> named_stream(const std::string& path) {
    auto stream = std::make_unique<HostStream>();
    name_stream(*stream, path);
    return stream;
}

void name_stream(HostStream& stream, std::string name) {
    stream.file_name = std::move(name);
    stream.descriptor.file_name = stream.file_name.empty() ? nullptr : stream.file_name.c_str();
}

std::vector<uint8_t> memory_stream_bytes(const HostStream* stream) {
    if (stream == nullptr) return {};
    auto* memory = dynamic_cast<const MemoryBackend*>(stream->backend.get());
    return memory != nullptr ? memory->bytes() : std::vector<uint8_t>{};
}

void memory_stream_adopt(HostStream* stream, std::vector<uint8_t>&& bytes) noexcept {
    auto* memory = stream != nullptr ? dynamic_cast<MemoryBackend*>(stream->backend.get()) : nullptr;
    if (memory != nullptr) memory->adopt(std::move(bytes));
}

std::vector<uint8_t> memory_stream_take(HostStream* stream, bool original) {
    auto* memory = stream != nullptr ? dynamic_cast<MemoryBackend*>(stream->backend.get()) : nullptr;
    if (memory == nullptr) return {};
    return original ? memory->take_original() : memory->take();
}

}  // namespace kvhost

using namespace kvhost;

extern "C" uint64_t kvhost_IO_read(HostStream* stream, void* buffer, uint64_t count) {
    if (stream == nullptr || stream->backend == nullptr || buffer == nullptr) return 0;
    count = within_budget(stream->faults.read_budget, count);
    uint64_t n = stream->backend->read(visible_position(stream), buffer, count);
    stream->position += static_cast<int64_t>(n);
    return n;
}

extern "C" uint64_t kvhost_IO_write(HostStream* stream, const void* buffer, uint64_t count) {
    if (stream == nullptr || stream->backend == nullptr || buffer == nullptr) return 0;
    count = within_budget(stream->faults.write_budget, count);
    uint64_t n = stream->backend->write(stream->position, buffer, count);
    stream->position += static_cast<int64_t>(n);
    return n;
}

extern "C" int64_t kvhost_IO_seek(HostStream* stream, int64_t offset, int32_t origin) {
    if (stream == nullptr || stream->faults.fail_seeks) return -1;
    int64_t base = 0;
    switch (origin) {
        case 0: base = 0; break;
        case 1: base = visible_position(stream); break;
        case 2: base = stream->backend ? stream->backend->size() : 0; break;
        default: return -1;
    }
    int64_t target = base + offset;
    if (target < 0) return -1;
    if (origin == 0 && stream->read_spans != nullptr) {
        if (!stream->read_spans->empty()) stream->read_spans->back().stop = visible_position(stream);
        stream->read_spans->push_back({target, target});
    }
    stream->position = target;
    return target;
}

extern "C" int64_t kvhost_IO_tell(HostStream* stream) { return stream != nullptr ? visible_position(stream) : -1; }

extern "C" HostStatus kvhost_IO_byte_order_set(HostStream* stream, int32_t order) {
    if (stream == nullptr) return record_host_error(KVHOST_MODULE("stream"), __LINE__, host_error::kBadArgument,
                                                    "IO_byte_order_set without a stream");
    stream->byte_order = order != 0 ? 1 : 0;
    return 0;
}

extern "C" int32_t kvhost_IO_byte_order_get(HostStream* stream) { return stream != nullptr ? stream->byte_order : 0; }

extern "C" int32_t kvhost_IO_byte_read(HostStream* stream, uint8_t* byte) {
    return static_cast<int32_t>(kvhost_IO_read(stream, byte, 1));
}

extern "C" int32_t kvhost_IO_word_read(HostStream* stream, uint16_t* word) {
    uint8_t bytes[2] = {0, 0};
    int32_t n = static_cast<int32_t>(kvhost_IO_read(stream, bytes, 2));
    if (n == 2 && word != nullptr) {
        *word = stream->byte_order == 0 ? static_cast<uint16_t>(bytes[0] | (bytes[1] << 8))
                                        : static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    }
    return n;
}

extern "C" int32_t kvhost_IO_byte_write(HostStream* stream, uint8_t byte) {
    return static_cast<int32_t>(kvhost_IO_write(stream, &byte, 1));
}

extern "C" int32_t kvhost_IO_word_write(HostStream* stream, uint16_t word) {
    if (stream == nullptr) return 0;
    uint8_t bytes[2];
    if (stream->byte_order == 0) {
        bytes[0] = static_cast<uint8_t>(word);
        bytes[1] = static_cast<uint8_t>(word >> 8);
    } else {
        bytes[0] = static_cast<uint8_t>(word >> 8);
        bytes[1] = static_cast<uint8_t>(word);
    }
    return static_cast<int32_t>(kvhost_IO_write(stream, bytes, 2));
}

extern "C" int64_t kvhost_IO_open(HostStream* stream, const char* name, uint32_t mode) {
    if (stream == nullptr || name == nullptr) return -1;
    // Bit 31 of the mode asks for reading; anything else opens for update.
    FileMode file_mode = (mode & 0x80000000u) != 0 ? FileMode::kRead : FileMode::kReadWrite;
    auto backend = open_backend(name, file_mode);
    if (backend == nullptr) return -1;
    stream->backend = std::move(backend);
    stream->position = 0;
    if (name != stream->file_name.c_str()) name_stream(*stream, name);
    return 0;
}

extern "C" HostStatus kvhost_IO_close(HostStream* stream) {
    if (stream == nullptr) return 0;
    bool flushed = stream->backend == nullptr || stream->backend->flush();
    stream->backend.reset();
    stream->position = 0;
    if (!flushed) return record_host_error(KVHOST_MODULE("stream"), __LINE__, host_error::kStream,
                                           "flushing " + stream->file_name + " failed");
    return 0;
}
