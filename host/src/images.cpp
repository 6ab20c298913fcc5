// Host images and the iKV_ image, area and raster services on them.
#include "kvhost/errors.h"
#include "kvhost/host_image.h"
#include "service_impl.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

namespace kvhost::images {
namespace {

constexpr const char* kModule = KVHOST_MODULE("images");

struct Registry {
    std::mutex mutex;
    std::unordered_set<const HostImage*> live;
    // The image last found live: a load checks its image once a row, and a
    // composition its canvas and frame at every call. Cleared, under the
    // lock, before that image leaves the set.
    std::atomic<const HostImage*> recent{nullptr};
    uint64_t pixel_limit = uint64_t{1} << 30;
};

Registry& registry() {
    static Registry r;
    return r;
}

// A new registered image: a copy of `source` when there is one (written once,
// not zeroed first), else zeroed.
HostImage* make_image(uint64_t width, uint64_t height, uint32_t depth, const HostImage* source) {
    if (depth < 1 || depth > 8) {
        record_host_error(kModule, __LINE__, host_error::kBadArgument,
                          "no indexed image of depth " + std::to_string(depth), depth);
        return nullptr;
    }
    if (width > UINT32_MAX || height > UINT32_MAX || (height != 0 && width > pixel_limit() / height)) {
        record_host_error(kModule, __LINE__, host_error::kImageTooLarge,
                          std::to_string(width) + " x " + std::to_string(height) + " image is too large", 0,
                          static_cast<int64_t>(width), static_cast<int64_t>(height));
        return nullptr;
    }
    auto* image = new (std::nothrow) HostImage;
    const uint64_t bytes = width * height + kPaletteBytes;
    if (image != nullptr && !image->budget.reserve(bytes)) {
        delete image;
        record_host_error(kModule, __LINE__, host_error::kNoMemory,
                          std::to_string(width) + " x " + std::to_string(height) + " image needs " +
                              std::to_string(bytes) + " bytes, beyond the memory budget of " +
                              std::to_string(memory::operation_limit()) + " bytes",
                          0, static_cast<int64_t>(width), static_cast<int64_t>(height));
        return nullptr;
    }
    try {
        if (image == nullptr) throw std::bad_alloc();
        image->width = static_cast<uint32_t>(width);
        image->height = static_cast<uint32_t>(height);
        image->depth = depth;
        if (source != nullptr) {
            image->palette = source->palette;
            image->pixels = source->pixels;
        } else {
            image->palette.assign(kPaletteBytes, 0);
            // One byte at least, so that a row of an empty image is still an
            // address that copies of zero bytes may take.
            image->pixels.assign(std::max<size_t>(1, static_cast<size_t>(width * height)), 0);
        }
        std::lock_guard<std::mutex> lock(registry().mutex);
        registry().live.insert(image);
    } catch (const std::bad_alloc&) {
        delete image;
        record_host_error(kModule, __LINE__, host_error::kNoMemory, "image pixels", 0,
                          static_cast<int64_t>(width * height));
        return nullptr;
    }
    return image;
}

}  // namespace

HostImage* create(uint64_t width, uint64_t height, uint32_t depth) { return make_image(width, height, depth, nullptr); }

bool is_live(const HostImage* image) {
    if (image == nullptr) return false;
    Registry& r = registry();
    if (r.recent.load(std::memory_order_acquire) == image) return true;
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.live.count(image) == 0) return false;
    r.recent.store(image, std::memory_order_release);
    return true;
}

size_t live_count() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().live.size();
}

uint64_t live_bytes() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    uint64_t bytes = 0;
    for (const HostImage* image : registry().live) bytes += image->pixels.size() + image->palette.size();
    return bytes;
}

void set_pixel_limit(uint64_t pixels) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().pixel_limit = pixels;
}

uint64_t pixel_limit() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    return registry().pixel_limit;
}

namespace {

HostStatus bad_argument(int32_t line, const std::string& text) {
    return record_host_error(kModule, line, host_error::kBadArgument, text);
}

bool check_image(const HostImage* image, int32_t line) {
    if (is_live(image)) return true;
    bad_argument(line, "not a host image");
    return false;
}

bool check_format(uint32_t format, int32_t line) {
    if (format == KV_BUFFER_BYTES_PADDED) return true;
    bad_argument(line, "buffer format " + std::to_string(format) + " is not supported");
    return false;
}

// The area lies inside the image and is not empty.
bool check_area(const HostImage* image, const HostArea* area, int32_t line) {
    if (area != nullptr && area->left >= 0 && area->top >= 0 && area->left <= area->right &&
        area->top <= area->bottom && area->right < int64_t{image->width} && area->bottom < int64_t{image->height})
        return true;
    if (area == nullptr) {
        bad_argument(line, "no area");
    } else {
        record_host_error(kModule, line, host_error::kBadArgument,
                          "area (" + std::to_string(area->left) + ", " + std::to_string(area->top) + ") - (" +
                              std::to_string(area->right) + ", " + std::to_string(area->bottom) +
                              ") is not inside a " + std::to_string(image->width) + " x " +
                              std::to_string(image->height) + " image");
    }
    return false;
}

size_t padded(uint64_t width) { return static_cast<size_t>((width + 3) & ~uint64_t{3}); }

uint8_t pixel_mask(const HostImage* image) { return static_cast<uint8_t>((1u << image->depth) - 1); }

// Copies n pixels into an image row, keeping the bits the depth holds.
void store(const HostImage* image, uint8_t* to, const uint8_t* from, size_t n) {
    const uint8_t mask = pixel_mask(image);
    if (mask == 0xFF) {
        std::memcpy(to, from, n);
    } else {
        for (size_t i = 0; i < n; ++i) to[i] = from[i] & mask;
    }
}

}  // namespace
}  // namespace kvhost::images

using namespace kvhost;
using namespace kvhost::images;

extern "C" HostStatus kvhost_iKV_image_create_DIB(uint64_t width, uint64_t height, uint32_t depth, uint32_t,
                                                  HostImage** image_out) {
    if (image_out == nullptr) return bad_argument(__LINE__, "iKV_image_create_DIB without a handle address");
    *image_out = create(width, height, depth);
    return *image_out != nullptr ? 0 : error_status();
}

extern "C" int32_t kvhost_iKV_image_is_valid(HostImage* image) { return is_live(image) ? 1 : 0; }

extern "C" HostStatus kvhost_iKV_image_duplicate(HostImage* image, HostImage** copy_out) {
    if (copy_out == nullptr) return bad_argument(__LINE__, "iKV_image_duplicate without a handle address");
    *copy_out = nullptr;
    if (!check_image(image, __LINE__)) return error_status();
    HostImage* copy = make_image(image->width, image->height, image->depth, image);
    if (copy == nullptr) return error_status();
    *copy_out = copy;
    return 0;
}

extern "C" HostStatus kvhost_iKV_image_delete(HostImage* image) {
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        const HostImage* expected = image;
        registry().recent.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
        if (registry().live.erase(image) == 0) image = nullptr;
    }
    if (image == nullptr) return bad_argument(__LINE__, "iKV_image_delete of something that is not a host image");
    delete image;
    return 0;
}

extern "C" HostStatus kvhost_iKV_image_dimensions_get(HostImage* image, int64_t* left, int64_t* top, int64_t* width,
                                                      int64_t* height) {
    if (!check_image(image, __LINE__)) return error_status();
    if (left != nullptr) *left = 0;
    if (top != nullptr) *top = 0;
    if (width != nullptr) *width = image->width;
    if (height != nullptr) *height = image->height;
    return 0;
}

extern "C" void* kvhost_GPb_palette_pointer_get(HostImage* image) {
    return is_live(image) ? image->palette.data() : nullptr;
}

extern "C" HostStatus kvhost_iKV_DIB_area_size_get_ex(HostImage* image, const HostArea* area, uint32_t format,
                                                      uint32_t, uint64_t* size_out) {
    if (size_out == nullptr) return bad_argument(__LINE__, "no size address");
    if (!check_image(image, __LINE__) || !check_format(format, __LINE__) || !check_area(image, area, __LINE__))
        return error_status();
    *size_out = padded(area->right - area->left + 1) * static_cast<uint64_t>(area->bottom - area->top + 1);
    return 0;
}

extern "C" HostStatus kvhost_iKV_DIB_area_get_ex(HostImage* image, const HostArea* area, void* buffer,
                                                 uint32_t format, uint32_t, uint32_t) {
    if (buffer == nullptr) return bad_argument(__LINE__, "no buffer");
    if (!check_image(image, __LINE__) || !check_format(format, __LINE__) || !check_area(image, area, __LINE__))
        return error_status();
    const size_t n = static_cast<size_t>(area->right - area->left + 1);
    const size_t stride = padded(n);
    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t y = area->top; y <= area->bottom; ++y, out += stride) {
        std::memcpy(out, image->row(static_cast<uint32_t>(y)) + area->left, n);
        std::memset(out + n, 0, stride - n);
    }
    return 0;
}

extern "C" HostStatus kvhost_iKV_DIB_area_set_ex(HostImage* image, const HostArea* area, const void* buffer,
                                                 uint32_t format, uint32_t) {
    if (buffer == nullptr) return bad_argument(__LINE__, "no buffer");
    if (!check_image(image, __LINE__) || !check_format(format, __LINE__) || !check_area(image, area, __LINE__))
        return error_status();
    const size_t n = static_cast<size_t>(area->right - area->left + 1);
    const size_t stride = padded(n);
    const auto* in = static_cast<const uint8_t*>(buffer);
    for (int64_t y = area->top; y <= area->bottom; ++y, in += stride)
        store(image, image->row(static_cast<uint32_t>(y)) + area->left, in, n);
    return 0;
}

extern "C" HostStatus kvhost_iKV_DIB_raster_size_get_ex(HostImage* image, uint32_t format, uint32_t,
                                                        uint64_t* size_out) {
    if (size_out == nullptr) return bad_argument(__LINE__, "no size address");
    if (!check_image(image, __LINE__) || !check_format(format, __LINE__)) return error_status();
    *size_out = padded(image->width);
    return 0;
}

namespace {

bool check_row(const HostImage* image, int64_t y, const void* row, uint32_t format, int32_t line) {
    if (!check_image(image, line) || !check_format(format, line)) return false;
    if (row == nullptr) {
        bad_argument(line, "no row buffer");
        return false;
    }
    if (y < 0 || y >= int64_t{image->height}) {
        bad_argument(line, "row " + std::to_string(y) + " outside an image of height " + std::to_string(image->height));
        return false;
    }
    return true;
}

}  // namespace

extern "C" HostStatus kvhost_iKV_DIB_raster_get_ex(HostImage* image, int64_t y, void* row, uint32_t format,
                                                   uint32_t, uint32_t) {
    if (!check_row(image, y, row, format, __LINE__)) return error_status();
    auto* out = static_cast<uint8_t*>(row);
    std::memcpy(out, image->row(static_cast<uint32_t>(y)), image->width);
    std::memset(out + image->width, 0, padded(image->width) - image->width);
    return 0;
}

extern "C" HostStatus kvhost_iKV_DIB_raster_set_ex(HostImage* image, int64_t y, const void* row, uint32_t format,
                                                   uint32_t) {
    if (!check_row(image, y, row, format, __LINE__)) return error_status();
    store(image, image->row(static_cast<uint32_t>(y)), static_cast<const uint8_t*>(row), image->width);
    return 0;
}

extern "C" HostStatus kvhost_GPr_load_CB_data_done(void* load_record) {
    if (load_record == nullptr) return bad_argument(__LINE__, "GPr_load_CB_data_done without a load record");
    ++static_cast<HostLoadRecord*>(load_record)->loads_done;
    return 0;
}
