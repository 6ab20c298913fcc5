// The LZW decode routine shared by the TIFF strip service and the raw filter.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// The decoder reads and writes only the first this many bytes of in_buf,
// however large the caller made it.
constexpr uint32_t kLzwInputSpan = 8192;

// Decodes LZW codes from the stream's current position into out (at most
// out_size bytes) until the end-of-information code, a full buffer or the
// end of the data. New-style (TIFF 6.0) and old-style data are told apart
// by the first code. The tables are the caller's work areas: prefix 4096
// 16-bit entries, first_byte, last_byte and stack 4096 bytes each, in_buf
// at least 8192 bytes. Returns AF_error_check(); records no error itself.
HostStatus TIF_LZW_decode(HostStream* stream, uint8_t* out, int32_t out_size, uint16_t* prefix, uint8_t* first_byte,
                          uint8_t* last_byte, uint8_t* stack, uint8_t* in_buf, uint32_t* out_count,
                          uint16_t fill_order);

}  // namespace kv
