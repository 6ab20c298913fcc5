// A file's bytes, read-only, without copying them: mapped into memory when
// the file is a regular one, read whole otherwise (pipes, devices).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

class MappedFile {
public:
    // Check ok(); error() says why the file could not be read.
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // Gives back the memory that maps the whole pages inside bytes
    // [from, to): a later read of them maps them again from the file. For
    // a reader that has passed over them and will not be back soon.
    void release(size_t from, size_t to) const;

private:
    bool map(int fd, const std::string& path);
    bool read_all(int fd, const std::string& path);

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    void* mapping_ = nullptr;        // munmap'ed on destruction
    std::vector<uint8_t> fallback_;  // the bytes of a file that cannot be mapped
    bool ok_ = false;
    std::string error_;
};

}  // namespace kvhost
