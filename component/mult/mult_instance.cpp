// What every multi-page instance shares: the operations it does not support,
// and the heap buffers it works in.
#include "kvlzw/abi.h"
#include "mult/mult_failure.h"

#include <new>

namespace {
constexpr int32_t kErrUnsupported = -900;
}

void CKVMultInstance::unsupported_9() { kv::fail(__LINE__, kErrUnsupported, 0, 9); }
void CKVMultInstance::unsupported_10() { kv::fail(__LINE__, kErrUnsupported, 0, 10); }
void CKVMultInstance::unsupported_11() { kv::fail(__LINE__, kErrUnsupported, 0, 11); }
void CKVMultInstance::unsupported_12() { kv::fail(__LINE__, kErrUnsupported, 0, 12); }

namespace kv {

bool HeapBuffer::allocate(uint64_t size) {
    release();
    if (size > SIZE_MAX) return false;
    data_ = static_cast<uint8_t*>(::operator new(static_cast<size_t>(size), std::nothrow));
    size_ = data_ != nullptr ? size : 0;
    return data_ != nullptr;
}

void HeapBuffer::release() {
    ::operator delete(data_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace kv
