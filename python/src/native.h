// What the binding's parts share: sources, limits, errors raised as
// kvlzw.Error, and numpy arrays that take over a vector's bytes.
#pragma once

#include "kvhost/errors.h"
#include "kvhost/gif.h"
#include "kvhost/memory.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvpy {

namespace py = pybind11;

// Where the bytes come from: a path the host opens itself, or a buffer the
// caller's object keeps alive (and unchanged) while the GIL is released.
class Input {
public:
    explicit Input(const py::object& src);
    bool is_path() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    kvhost::gif::Source gif_source() const;

private:
    std::string path_;
    py::buffer buffer_;
    py::buffer_info info_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// The limits of one call, checked by the Python layer before they get here.
struct Limits {
    uint64_t max_pixels = 0;
    uint64_t max_memory = 0;
};

// The call's memory budget, for the thread that runs it.
class Budget {
public:
    explicit Budget(const Limits& limits) : limit_(limits.max_memory) {}

private:
    kvhost::memory::ThreadOperationLimit limit_;
};

// What a failed call hands back: its status and every record it made.
struct Failure {
    int32_t status = 0;
    std::vector<kvhost::ErrorRecord> records;
};

// Raises kvlzw.Error for a failed call (GIL held).
[[noreturn]] void raise_failure(const Failure& failure, const std::string& what);
// This thread's records since they were last cleared, as a failure (and cleared).
Failure take_records();
// A failure the binding itself finds (an image past max_pixels, say), with one record.
Failure own_failure(int32_t code, const std::string& text);
// True (with the failure that says so) when width x height is past max_pixels.
bool pixels_exceed(uint64_t width, uint64_t height, const Limits& limits, Failure* failure);

// Error records as the Python ErrorRecord tuples (GIL held).
py::list records_object(const std::vector<kvhost::ErrorRecord>& records);

// A numpy array over the vector's bytes, which it takes over (no copy).
template <typename T>
py::array take_array(std::vector<uint8_t>&& bytes, std::vector<py::ssize_t> shape) {
    auto* owner = new std::vector<uint8_t>(std::move(bytes));
    py::capsule keep(owner, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
    return py::array_t<T>(shape, reinterpret_cast<const T*>(owner->data()), keep);
}

// out[i] = lut[indices[i]], 4 bytes a pixel (the LUT in memory order R, G, B, A).
void palette_lookup(const uint8_t* indices, size_t count, const uint32_t lut[256], uint8_t* out);

// An image's pixels one byte each, taking them over: depth 1 comes packed
// (8 pixels a byte, most significant first), every other depth is one byte already.
std::vector<uint8_t> one_byte_per_pixel(kvhost::LoadedImage& image);

// Palette entries of the host (blue, green, red, 0) as an N x 3 RGB array.
py::array palette_array(const std::vector<uint8_t>& bgr0);

// Every entry point releases the GIL for the work in between.
void bind_gif(py::module_& m);
void bind_gif_frames(py::module_& m);
void bind_gif_write(py::module_& m);
void bind_tiff(py::module_& m);
void bind_lzw(py::module_& m);

}  // namespace kvpy
