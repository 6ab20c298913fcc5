// The control entries of the component's two format filters.
#pragma once

#include "kvlzw/abi.h"

namespace kv {

HostStatus gif_filter_control(void* ignored, int32_t op, void* input, void* ignored2, void* out, uint32_t out_size);
HostStatus raw_filter_control(void* ignored, int32_t op, void* input, void* ignored2, void* out, uint32_t out_size);

// Answers 1 when the buffer starts with "GIF87a" or "GIF89a", else 0.
int32_t gif_signature_test(void* ignored, const uint8_t* buffer, uint32_t length);

}  // namespace kv
