// PNG row filters: undone on reading, applied on writing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvtool {

enum class PngFilter : uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
inline constexpr int kPngFilterCount = 5;

// Undoes filter `type` on the `size` bytes of `row`, in place. `prior` is
// the row above, already unfiltered (zeros above the first row); `bpp` the
// bytes of one pixel, at least 1. False for a type that is not a filter.
bool unfilter_png_row(uint8_t type, uint8_t* row, const uint8_t* prior, size_t size, size_t bpp);

// Writes `row` filtered with `type` to `out` (the same size).
void filter_png_row(PngFilter type, const uint8_t* row, const uint8_t* prior, size_t size, size_t bpp, uint8_t* out);

// The filter a PNG encoder usually picks for a row: the one whose output
// bytes, read as signed, have the smallest sum of magnitudes; `out` gets the
// row filtered with it, `scratch` is room for one more row.
PngFilter filter_png_row_adaptively(const uint8_t* row, const uint8_t* prior, size_t size, size_t bpp, uint8_t* out,
                                    uint8_t* scratch);

}  // namespace kvtool
