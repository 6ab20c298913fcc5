#include "kvhost/mapped_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvhost {

MappedFile::MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ok_ = regular ? map(fd, path) || read_all(fd, path) : read_all(fd, path);
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (mapping_ != nullptr) ::munmap(mapping_, size_);
}

bool MappedFile::map(int fd, const std::string&) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    size_ = static_cast<size_t>(info.st_size);
    if (size_ == 0) return true;  // nothing to map; data() stays null
    // Not populated up front: the pages are mapped as the reader reaches
    // them, sixteen at a time, which measured cheaper than mapping them all
    // first (and a reader that stops early maps no more than it read).
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
        size_ = 0;
        return false;
    }
    mapping_ = p;
    data_ = static_cast<const uint8_t*>(p);
    return true;
}

void MappedFile::release(size_t from, size_t to) const {
    if (mapping_ == nullptr || to > size_ || from >= to) return;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t first = (from + page - 1) / page * page, end = to / page * page;
    if (first < end) ::madvise(static_cast<uint8_t*>(mapping_) + first, end - first, MADV_DONTNEED);
}

bool MappedFile::read_all(int fd, const std::string& path) {
    ::lseek(fd, 0, SEEK_SET);
    fallback_.clear();
    size_t used = 0;
    for (;;) {
        if (fallback_.size() - used < 65536) fallback_.resize(fallback_.size() * 2 + 65536);
        const ssize_t n = ::read(fd, fallback_.data() + used, fallback_.size() - used);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = "cannot read " + path + ": " + std::strerror(errno);
            fallback_.clear();
            return false;
        }
        used += static_cast<size_t>(n);
    }
    fallback_.resize(used);
    data_ = fallback_.data();
    size_ = used;
    return true;
}

}  // namespace kvhost
