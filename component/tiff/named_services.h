// The three named services that CPb_LZW_attach offers to the host.
#pragma once

#include "kvlzw/abi.h"

namespace kv {

namespace err {
// A length to compress that is negative: a count of 2^31 bytes or more.
inline constexpr int32_t kBadInputLength = -1011;
}  // namespace err

HostStatus TIF_Proc_LZW_Comp(HostStream* stream, HostTiff* tif_handle, uint32_t tag, HostDibInfo* dib_info,
                             uint32_t base_offset, int32_t planar_config, int32_t photometric, uint16_t fill_order,
                             int32_t predictor, const int16_t* bits_per_sample, int32_t samples_per_pixel,
                             uint32_t extra_samples, int32_t rows_per_strip, int32_t strip_count,
                             int32_t strips_per_plane, const uint32_t* strip_offsets,
                             const uint32_t* strip_byte_counts, int32_t offset_count);

HostStatus TIFF_LZW_Write(HostStream* stream, uint32_t tag, const uint8_t* input, uint32_t* count);

HostStatus KV_LZW_compress(uint32_t tag, const uint8_t* input, int32_t input_length, uint8_t** output,
                           uint32_t* output_length);

}  // namespace kv
