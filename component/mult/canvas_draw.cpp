// Frame drawing and rectangle fills, through the host's area and raster
// services in buffer format 2 (one byte per pixel, rows padded to 4 bytes).
#include "mult/canvas_draw.h"

#include "mult/mult_failure.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv {
namespace {

constexpr int32_t kErrBuffer = -3020;
constexpr uint32_t kFormat = KV_BUFFER_BYTES_PADDED;

uint64_t padded(uint64_t width) { return (width + 3) & ~uint64_t{3}; }

void grow_scratch(HeapBuffer& scratch, uint64_t width, uint64_t height) {
    // The padded rows must fit, not just the pixels: a narrow tall frame
    // after a wide short one needs more than its pixel count.
    if (scratch.size() >= padded(width) * height) return;
    const uint64_t size = (width + 8) * height;
    if (!scratch.allocate(size)) fail(__LINE__, kErrBuffer, 0, static_cast<int64_t>(size));
}

// Moves the clipped rows together so that they lie at the narrower stride
// that the area set reads them at.
void pack_rows(uint8_t* rows, uint64_t from_width, uint64_t to_width, uint64_t count) {
    if (padded(to_width) == padded(from_width)) return;
    for (uint64_t y = 1; y < count; ++y)
        std::memmove(rows + y * padded(to_width), rows + y * padded(from_width), to_width);
}

// Copies the source bytes that differ from the transparent index over the
// row; the others leave the row as it was. Sixteen bytes at a time where the
// processor allows, since this runs over every pixel of a transparent frame.
void merge_opaque(uint8_t* row, const uint8_t* source, size_t n, uint8_t transparent_index) {
    size_t x = 0;
#if defined(__SSE2__)
    const __m128i transparent = _mm_set1_epi8(static_cast<char>(transparent_index));
    for (; x + 16 <= n; x += 16) {
        const __m128i from = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + x));
        const __m128i to = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i keep = _mm_cmpeq_epi8(from, transparent);
        const __m128i merged = _mm_or_si128(_mm_and_si128(keep, to), _mm_andnot_si128(keep, from));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), merged);
    }
#endif
    for (; x < n; ++x)
        if (source[x] != transparent_index) row[x] = source[x];
}

void draw_transparent(HostImage* canvas, const HostArea& area, const uint8_t* source, uint64_t source_stride,
                      uint8_t transparent_index) {
    uint64_t row_size = 0;
    throw_if_failed(g_host.iKV_DIB_raster_size_get_ex(canvas, kFormat, 1, &row_size));
    HeapBuffer row;
    if (!row.allocate(row_size)) fail(__LINE__, kErrBuffer, 0, static_cast<int64_t>(row_size));
    uint8_t* pixels = row.data();
    for (int64_t y = area.top; y <= area.bottom; ++y, source += source_stride) {
        throw_if_failed(g_host.iKV_DIB_raster_get_ex(canvas, y, pixels, kFormat, 1, 0));
        merge_opaque(pixels + area.left, source, static_cast<size_t>(area.right - area.left + 1), transparent_index);
        throw_if_failed(g_host.iKV_DIB_raster_set_ex(canvas, y, pixels, kFormat, 1));
    }
}

}  // namespace

Dimensions image_dimensions(HostImage* image) {
    Dimensions d;
    int64_t left = 0, top = 0;
    throw_if_failed(g_host.iKV_image_dimensions_get(image, &left, &top, &d.width, &d.height));
    return d;
}

void canvas_fill(HostImage* image, CanvasRect rect, uint8_t index) {
    const Dimensions d = image_dimensions(image);
    rect.left = std::max<int64_t>(rect.left, 0);
    rect.top = std::max<int64_t>(rect.top, 0);
    rect.right = std::min(rect.right, d.width);
    rect.bottom = std::min(rect.bottom, d.height);
    if (rect.left >= rect.right || rect.top >= rect.bottom) return;
    const uint64_t size = static_cast<uint64_t>(rect.bottom - rect.top) * static_cast<uint64_t>(rect.right - rect.left + 4);
    HeapBuffer buffer;
    if (!buffer.allocate(size)) fail(__LINE__, kErrBuffer, 0, static_cast<int64_t>(size));
    std::memset(buffer.data(), index, size);
    const HostArea area{rect.left, rect.top, rect.right - 1, rect.bottom - 1};
    throw_if_failed(g_host.iKV_DIB_area_set_ex(image, &area, buffer.data(), kFormat, 1));
}

void canvas_draw(HostImage* canvas, HostImage* frame, uint64_t left, uint64_t top, bool transparency,
                 uint8_t transparent_index, HeapBuffer& scratch) {
    const Dimensions f = image_dimensions(frame);
    const Dimensions c = image_dimensions(canvas);
    if (f.width <= 0 || f.height <= 0 || c.width <= 0 || c.height <= 0) return;
    // A frame wholly outside the canvas leaves it as it was.
    if (left >= static_cast<uint64_t>(c.width) || top >= static_cast<uint64_t>(c.height)) return;
    const uint64_t fw = static_cast<uint64_t>(f.width), fh = static_cast<uint64_t>(f.height);
    grow_scratch(scratch, fw, fh);
    const HostArea whole{0, 0, f.width - 1, f.height - 1};
    throw_if_failed(g_host.iKV_DIB_area_get_ex(frame, &whole, scratch.data(), kFormat, 1, 0));

    HostArea area{static_cast<int64_t>(left), static_cast<int64_t>(top), 0, 0};
    area.right = static_cast<int64_t>(std::min<uint64_t>(left + fw - 1, static_cast<uint64_t>(c.width) - 1));
    area.bottom = static_cast<int64_t>(std::min<uint64_t>(top + fh - 1, static_cast<uint64_t>(c.height) - 1));
    if (transparency) {
        draw_transparent(canvas, area, scratch.data(), padded(fw), transparent_index);
        return;
    }
    const uint64_t width = static_cast<uint64_t>(area.right - area.left + 1);
    pack_rows(scratch.data(), fw, width, static_cast<uint64_t>(area.bottom - area.top + 1));
    throw_if_failed(g_host.iKV_DIB_area_set_ex(canvas, &area, scratch.data(), kFormat, 1));
}

}  // namespace kv
