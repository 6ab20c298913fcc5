// Streams over descriptors read front to back, bounded by the memory budget.
#include "kvhost/sequential_stream.h"

#include "kvhost/errors.h"
#include "kvhost/memory.h"
#include "service_impl.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace kvhost {
namespace {

constexpr size_t kChunk = size_t{1} << 16;

class SequentialBackend final : public StreamBackend {
public:
    SequentialBackend(int fd, bool owns, std::string name) : fd_(fd), owns_(owns), name_(std::move(name)) {}
    ~SequentialBackend() override {
        if (owns_) close(fd_);
    }
    uint64_t read(int64_t position, void* buffer, uint64_t count) override {
        if (position < 0) return 0;
        const uint64_t end = static_cast<uint64_t>(position) + count;
        while (kept_.size() < end && fill()) {
        }
        if (static_cast<uint64_t>(position) >= kept_.size()) return 0;
        const uint64_t n = std::min<uint64_t>(count, kept_.size() - position);
        std::memcpy(buffer, kept_.data() + position, n);
        return n;
    }
    uint64_t write(int64_t, const void*, uint64_t) override { return 0; }
    // The size of a pipe is known only at its end.
    int64_t size() const override {
        while (fill()) {
        }
        return static_cast<int64_t>(kept_.size());
    }
    // True once the whole input was read without passing the budget.
    bool complete() const { return ended_ && !failed_; }
    std::vector<uint8_t> take() { return std::move(kept_); }

private:
    // Reads one more chunk; false at the end, on a failure or past the budget.
    bool fill() const {
        if (ended_) return false;
        // The vector may hold twice its bytes while it grows.
        if (!reserved_.reserve(2 * kChunk)) {
            return stop(host_error::kNoMemory, "input larger than the memory budget of " +
                                                   std::to_string(memory::operation_limit()) + " bytes allows");
        }
        const size_t old = kept_.size();
        try {
            kept_.resize(old + kChunk);
        } catch (const std::bad_alloc&) {
            return stop(host_error::kNoMemory, "out of memory after " + std::to_string(old) + " bytes");
        }
        ssize_t n;
        do {
            n = ::read(fd_, kept_.data() + old, kChunk);
        } while (n < 0 && errno == EINTR);
        kept_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0) return stop(host_error::kStream, std::string("cannot read: ") + std::strerror(errno));
        if (n == 0) ended_ = true;
        return n > 0;
    }
    bool stop(int32_t code, const std::string& why) const {
        ended_ = true;
        failed_ = true;
        record_host_error(KVHOST_MODULE("sequential_stream"), __LINE__, code, name_ + ": " + why);
        return false;
    }

    int fd_;
    bool owns_;
    std::string name_;
    mutable std::vector<uint8_t> kept_;
    mutable memory::Reservation reserved_;
    mutable bool ended_ = false;
    mutable bool failed_ = false;
};

}  // namespace

std::unique_ptr<HostStream> sequential_stream(int fd, bool owns, const std::string& name) {
    auto stream = std::make_unique<HostStream>();
    stream->backend = std::make_unique<SequentialBackend>(fd, owns, name);
    stream->file_name = name;
    return stream;
}

bool read_all_within_budget(int fd, const std::string& name, std::vector<uint8_t>* bytes) {
    SequentialBackend backend(fd, false, name);
    backend.size();
    if (!backend.complete()) return false;
    *bytes = backend.take();
    return true;
}

}  // namespace kvhost
