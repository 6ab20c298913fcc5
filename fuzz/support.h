// Shared by the fuzz targets: the component, loaded once, and the check that
// an operation left no memory and no error state behind.
#pragma once

#include "kvhost/component.h"

#include <cstddef>
#include <cstdint>

namespace kvfuzz {

// Loads and starts the component found beside the executable; aborts when
// it cannot.
kvhost::Component& component();

// Aborts when any block of the host's memory manager is still allocated
// beyond `blocks_before`, and clears this thread's error records.
void expect_clean(size_t blocks_before);

// What the host holds for an operation: memory blocks, live images and the
// bytes charged to the memory budget.
struct Held {
    size_t blocks;
    size_t images;
    uint64_t budget;
};
Held held_now();
// expect_clean, and aborts too when images or budget charges outlive the
// operation.
void expect_clean(const Held& before);

}  // namespace kvfuzz
