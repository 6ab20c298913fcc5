// LZW TIFF images as arrays through the host's TIFF reader, and their
// descriptions.
#include "native.h"

#include "kvhost/image.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

namespace kvpy {
namespace {

std::unique_ptr<HostStream> open_stream(const Input& input, Failure* failure) {
    if (!input.is_path()) return kvhost::memory_view_stream(input.data(), input.size());
    std::string error;
    auto stream = kvhost::file_stream(input.path(), kvhost::FileMode::kRead, &error);
    if (stream == nullptr) *failure = own_failure(kvhost::host_error::kStream, error);
    return stream;
}

py::dict info_object(const kvhost::TiffImage& t) {
    py::dict d;
    d["directory"] = t.directory;
    d["width"] = t.width;
    d["height"] = t.height;
    d["byte_order"] = t.byte_order == 1 ? ">" : "<";
    d["compression"] = t.compression;
    d["photometric"] = t.photometric;
    d["planar_config"] = t.planar_config;
    d["predictor"] = t.predictor;
    d["fill_order"] = t.fill_order;
    py::list bits;
    for (int16_t b : t.bits_per_sample) bits.append(b);
    d["bits_per_sample"] = py::tuple(bits);
    d["samples_per_pixel"] = t.samples_per_pixel;
    d["extra_samples"] = t.extra_samples;
    d["rows_per_strip"] = t.rows_per_strip;
    d["strip_count"] = t.strip_count;
    d["channels"] = t.channels;
    d["bits_per_channel"] = t.bits_per_channel;
    d["colorspace"] = t.colorspace;
    d["palette"] = t.colorspace == kvhost::colorspace::kPalette ? py::object(palette_array(t.palette)) : py::object(py::none());
    return d;
}

py::dict describe(const py::object& src, uint32_t directory, const Limits& limits) {
    const Input input(src);
    Failure failure;
    kvhost::TiffImage t;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        kvhost::clear_errors();
        auto stream = open_stream(input, &failure);
        if (stream != nullptr && kvhost::tiff_describe(stream.get(), directory, &t) != 0) failure = take_records();
    }
    if (failure.status != 0) raise_failure(failure, "cannot describe TIFF image " + std::to_string(directory));
    return info_object(t);
}

py::array read(const py::object& src, uint32_t directory, const Limits& limits) {
    const Input input(src);
    Failure failure;
    std::unique_ptr<kvhost::LoadedImage> image;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        kvhost::clear_errors();
        auto stream = open_stream(input, &failure);
        kvhost::TiffImage t;
        if (stream != nullptr && kvhost::tiff_describe(stream.get(), directory, &t) != 0) {
            failure = take_records();
        } else if (stream != nullptr && !pixels_exceed(t.width, t.height, limits, &failure)) {
            if (kvhost::tiff_load(stream.get(), directory, &t) != 0 || stream->sink.image == nullptr) {
                failure = take_records();
                if (failure.status == 0) failure = own_failure(kvhost::host_error::kUnexpected, "no image was delivered");
            } else {
                image = std::move(stream->sink.image);
                image->pixels = one_byte_per_pixel(*image);
                kvhost::clear_errors();
            }
        }
    }
    if (image == nullptr) raise_failure(failure, "cannot read TIFF image " + std::to_string(directory));
    const py::ssize_t h = image->height, w = image->width, c = image->channels;
    std::vector<py::ssize_t> shape = c == 1 ? std::vector<py::ssize_t>{h, w} : std::vector<py::ssize_t>{h, w, c};
    if (image->bits_per_channel > 8) return take_array<uint16_t>(std::move(image->pixels), shape);
    return take_array<uint8_t>(std::move(image->pixels), shape);
}

}  // namespace

void bind_tiff(py::module_& m) {
    m.def(
        "tiff_read",
        [](const py::object& src, uint32_t directory, uint64_t max_pixels, uint64_t max_memory) {
            return read(src, directory, Limits{max_pixels, max_memory});
        },
        py::arg("src"), py::arg("directory"), py::arg("max_pixels"), py::arg("max_memory"));
    m.def(
        "tiff_info",
        [](const py::object& src, uint32_t directory, uint64_t max_memory) {
            return describe(src, directory, Limits{0, max_memory});
        },
        py::arg("src"), py::arg("directory"), py::arg("max_memory"));
}

}  // namespace kvpy
