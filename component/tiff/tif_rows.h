// Row reconstruction for TIFF strips: what turns decoded strip bytes into
// the rows the host expects (predictor, YCbCr, sample layout).
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

namespace err {
// Predictor 2 asked for on 4-bit samples.
inline constexpr int32_t kPredictorDepth = -200;
// A TIFF layout the strip service refuses before touching any buffer
// (zero subsampling or row length, too many planes, rows the image
// description cannot hold, and the like). The text says which.
inline constexpr int32_t kTiffLayout = -1010;
}  // namespace err

// Largest number of separate planes the strip service serves.
inline constexpr int32_t kMaxPlanes = 8;

// Reverses horizontal differencing (predictor 2) on one row in place. bits
// is the sample depth; 8 and 16 are undone, 4 records kPredictorDepth,
// anything else is left alone. stride counts samples per pixel.
void TIF_predictor_undo(uint8_t* row, uint32_t length, int32_t bits, uint32_t stride, int32_t predictor,
                        int32_t byte_order);

// Turns one row of YCbCr blocks (h x v luma bytes, then Cb, Cr) into v rows
// of 8-bit RGB, blocks x h pixels each. The coefficients come from the
// host's YCbCrCoefficients tag on every call; the subsampling is the one
// the caller checked and sized its buffers for.
void TIF_YCbCr_rows_convert(HostTiff* tif_handle, const uint8_t* blocks_row, uint8_t* const* out_rows,
                            uint32_t blocks, uint32_t h, uint32_t v);

// Finishes one contiguous row for the host (row_buffer_size bytes): byte
// order, WhiteIsZero, packed 16-bit RGB, unpacking, CIELab. The row itself
// may be changed in place. Returns the finished row: the row itself where
// it already is the host row (a plain copy would change nothing), the row
// buffer otherwise, or null when it could not be converted.
const uint8_t* TIF_chunky_row_convert(uint8_t* row, uint32_t row_length, uint64_t width, int16_t photometric,
                            uint32_t total_bits, const int64_t* depths, int32_t samples_per_pixel,
                            uint32_t extra_samples, uint8_t* row_buffer, uint32_t row_buffer_size,
                            int32_t byte_order);

// Interleaves the current row of each plane into the host row buffer. Every
// plane has the depth and row length of the first one. Returns the first
// failure of the host's placement (a depth it cannot place), 0 otherwise.
HostStatus TIF_planar_row_assemble(uint8_t* const* plane_rows, const uint32_t* plane_lengths, int32_t photometric,
                             const int16_t* bits_per_sample, int32_t samples_per_pixel, uint8_t* row_buffer,
                             int32_t byte_order);

}  // namespace kv
