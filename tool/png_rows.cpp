#include "png_rows.h"

#include <cstdlib>
#include <cstring>

namespace kvtool {
namespace {

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int pa = std::abs(int{b} - c), pb = std::abs(int{a} - c), pc = std::abs(int{a} + b - 2 * c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

uint64_t magnitude(const uint8_t* bytes, size_t size) {
    uint64_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum += static_cast<uint64_t>(std::abs(static_cast<int8_t>(bytes[i])));
    return sum;
}

}  // namespace

bool unfilter_png_row(uint8_t type, uint8_t* row, const uint8_t* prior, size_t size, size_t bpp) {
    const size_t first = bpp < size ? bpp : size;  // the bytes with no left neighbour
    switch (static_cast<PngFilter>(type)) {
        case PngFilter::kNone: return true;
        case PngFilter::kSub:
            for (size_t i = bpp; i < size; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
            return true;
        case PngFilter::kUp:
            for (size_t i = 0; i < size; ++i) row[i] = static_cast<uint8_t>(row[i] + prior[i]);
            return true;
        case PngFilter::kAverage:
            for (size_t i = 0; i < first; ++i) row[i] = static_cast<uint8_t>(row[i] + (prior[i] >> 1));
            for (size_t i = bpp; i < size; ++i)
                row[i] = static_cast<uint8_t>(row[i] + ((unsigned{row[i - bpp]} + prior[i]) >> 1));
            return true;
        case PngFilter::kPaeth:
            for (size_t i = 0; i < first; ++i) row[i] = static_cast<uint8_t>(row[i] + prior[i]);
            for (size_t i = bpp; i < size; ++i)
                row[i] = static_cast<uint8_t>(row[i] + paeth(row[i - bpp], prior[i], prior[i - bpp]));
            return true;
    }
    return false;
}

void filter_png_row(PngFilter type, const uint8_t* row, const uint8_t* prior, size_t size, size_t bpp, uint8_t* out) {
    const size_t first = bpp < size ? bpp : size;
    switch (type) {
        case PngFilter::kNone: std::memcpy(out, row, size); return;
        case PngFilter::kSub:
            std::memcpy(out, row, first);
            for (size_t i = bpp; i < size; ++i) out[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
            return;
        case PngFilter::kUp:
            for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(row[i] - prior[i]);
            return;
        case PngFilter::kAverage:
            for (size_t i = 0; i < first; ++i) out[i] = static_cast<uint8_t>(row[i] - (prior[i] >> 1));
            for (size_t i = bpp; i < size; ++i)
                out[i] = static_cast<uint8_t>(row[i] - ((unsigned{row[i - bpp]} + prior[i]) >> 1));
            return;
        case PngFilter::kPaeth:
            for (size_t i = 0; i < first; ++i) out[i] = static_cast<uint8_t>(row[i] - prior[i]);
            for (size_t i = bpp; i < size; ++i)
                out[i] = static_cast<uint8_t>(row[i] - paeth(row[i - bpp], prior[i], prior[i - bpp]));
            return;
    }
}

PngFilter filter_png_row_adaptively(const uint8_t* row, const uint8_t* prior, size_t size, size_t bpp, uint8_t* out,
                                    uint8_t* scratch) {
    PngFilter best = PngFilter::kNone;
    uint64_t best_sum = magnitude(row, size);
    for (int type = 1; type < kPngFilterCount; ++type) {
        filter_png_row(static_cast<PngFilter>(type), row, prior, size, bpp, scratch);
        const uint64_t sum = magnitude(scratch, size);
        if (sum < best_sum) best_sum = sum, best = static_cast<PngFilter>(type);
    }
    filter_png_row(best, row, prior, size, bpp, out);
    return best;
}

}  // namespace kvtool
