// The compiled half of the kvlzw package: starts the component once for the
// process and defines what the parts share.
#include "native.h"

#include "kvhost/component.h"
#include "kvhost/huge_pages.h"

#include <cstring>
#include <memory>

namespace kvpy {

Input::Input(const py::object& src) {
    if (py::isinstance<py::str>(src)) {
        path_ = src.cast<std::string>();
        if (path_.empty()) throw py::value_error("an empty path names no file");
        return;
    }
    buffer_ = py::reinterpret_borrow<py::buffer>(src);
    info_ = buffer_.request();
    data_ = static_cast<const uint8_t*>(info_.ptr);
    size_ = static_cast<size_t>(info_.size * info_.itemsize);
    // A zero-length buffer still needs an address the host can hold.
    if (data_ == nullptr) data_ = reinterpret_cast<const uint8_t*>("");
}

kvhost::gif::Source Input::gif_source() const {
    return is_path() ? kvhost::gif::Source::file(path_) : kvhost::gif::Source::memory(data_, size_);
}

namespace {

py::object& error_class() {
    static py::object* cls = new py::object(py::module_::import("kvlzw._errors").attr("Error"));
    return *cls;
}

py::object& record_class() {
    static py::object* cls = new py::object(py::module_::import("kvlzw._errors").attr("ErrorRecord"));
    return *cls;
}

}  // namespace

py::list records_object(const std::vector<kvhost::ErrorRecord>& records) {
    py::list list;
    for (const kvhost::ErrorRecord& r : records) {
        list.append(record_class()(r.code, py::str(r.has_text ? r.text : std::string()), r.module, r.line,
                                   py::make_tuple(r.details[0], r.details[1], r.details[2]),
                                   kvhost::error_meaning(r.code), kvhost::describe(r)));
    }
    return list;
}

void raise_failure(const Failure& failure, const std::string& what) {
    std::string message = what;
    for (const kvhost::ErrorRecord& r : failure.records) message += "\n  " + kvhost::describe(r);
    py::object error = error_class()(message, failure.status, records_object(failure.records));
    PyErr_SetObject(error_class().ptr(), error.ptr());
    throw py::error_already_set();
}

Failure take_records() {
    Failure failure;
    failure.records = kvhost::error_records();
    failure.status = kvhost::error_status();
    kvhost::clear_errors();
    return failure;
}

Failure own_failure(int32_t code, const std::string& text) {
    kvhost::ErrorRecord record;
    record.module = "kvlzw";
    record.code = code;
    record.has_text = true;
    record.text = text;
    return Failure{code, {record}};
}

bool pixels_exceed(uint64_t width, uint64_t height, const Limits& limits, Failure* failure) {
    if (static_cast<unsigned __int128>(width) * height <= limits.max_pixels) return false;
    *failure = own_failure(kvhost::host_error::kImageTooLarge,
                           std::to_string(width) + " x " + std::to_string(height) + " pixels is more than the limit of " +
                               std::to_string(limits.max_pixels) + " (max_pixels= raises it)");
    return true;
}

void palette_lookup(const uint8_t* indices, size_t count, const uint32_t lut[256], uint8_t* out) {
    // The output is usually fresh memory, whose first touch costs a page fault a page.
    kvhost::advise_huge_pages(out, count * 4);
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const uint32_t v[4] = {lut[indices[i]], lut[indices[i + 1]], lut[indices[i + 2]], lut[indices[i + 3]]};
        std::memcpy(out + i * 4, v, 16);
    }
    for (; i < count; ++i) std::memcpy(out + i * 4, &lut[indices[i]], 4);
}

std::vector<uint8_t> one_byte_per_pixel(kvhost::LoadedImage& image) {
    if (image.depth != 1) return std::move(image.pixels);
    std::vector<uint8_t> out(size_t{image.width} * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.row(y);
        uint8_t* o = out.data() + size_t{y} * image.width;
        for (uint32_t x = 0; x < image.width; ++x) o[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
    return out;
}

py::array palette_array(const std::vector<uint8_t>& bgr0) {
    const size_t entries = bgr0.size() / 4;
    std::vector<uint8_t> rgb(entries * 3);
    for (size_t i = 0; i < entries; ++i) {
        rgb[i * 3 + 0] = bgr0[i * 4 + 2];
        rgb[i * 3 + 1] = bgr0[i * 4 + 1];
        rgb[i * 3 + 2] = bgr0[i * 4 + 0];
    }
    return take_array<uint8_t>(std::move(rgb), {static_cast<py::ssize_t>(entries), 3});
}

}  // namespace kvpy

PYBIND11_MODULE(_native, m) {
    m.doc() = "The compiled part of kvlzw: use the kvlzw.gif, kvlzw.tiff and kvlzw.lzw modules.";
    // Loaded once for the process and never stopped: arrays and animations
    // handed out may outlive any object that could own it.
    std::string error;
    static kvhost::Component* component = kvhost::Component::load(kvhost::default_module_path(), &error).release();
    if (component == nullptr) throw pybind11::import_error("kvlzw cannot load its LZW component: " + error);
    kvpy::bind_gif(m);
    kvpy::bind_gif_frames(m);
    kvpy::bind_gif_write(m);
    kvpy::bind_tiff(m);
    kvpy::bind_lzw(m);
    m.attr("module_path") = component->path();
}
