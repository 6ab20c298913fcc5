// What every multi-page instance of the component shares: the operations
// none supports, and the heap buffers instances work in.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// Slots 9 to 12, which no instance supports: each records -900 and throws.
class CKVMultInstanceDefaults : public CKVMultInstance {
public:
    void unsupported_9() override;
    void unsupported_10() override;
    void unsupported_11() override;
    void unsupported_12() override;

protected:
    ~CKVMultInstanceDefaults() = default;
};

// Work buffers come from the general heap, not the host's memory manager.
class HeapBuffer {
public:
    HeapBuffer() = default;
    ~HeapBuffer() { release(); }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;

    // False when the heap refuses; the old contents are gone either way.
    bool allocate(uint64_t size);
    void release();
    uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace kv
