// What every multi-page instance shares: the operations it does not support,
// and the heap buffers it works in.
#include "mult/mult_instance.h"

#include "mult/mult_failure.h"

#include <new>

namespace {
constexpr int32_t kErrUnsupported = -900;
}

namespace kv {

void CKVMultInstanceDefaults::unsupported_9() { fail(__LINE__, kErrUnsupported, 0, 9); }
void CKVMultInstanceDefaults::unsupported_10() { fail(__LINE__, kErrUnsupported, 0, 10); }
void CKVMultInstanceDefaults::unsupported_11() { fail(__LINE__, kErrUnsupported, 0, 11); }
void CKVMultInstanceDefaults::unsupported_12() { fail(__LINE__, kErrUnsupported, 0, 12); }

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
