// The bare TIFF LZW codec on bytes.
#include "native.h"

#include "kvhost/lzw.h"

namespace kvpy {
namespace {

py::bytes run(const py::buffer& data, const Limits& limits, const char* what,
              const std::function<HostStatus(const uint8_t*, size_t, std::vector<uint8_t>*)>& codec) {
    const py::buffer_info info = data.request();
    const auto* bytes = static_cast<const uint8_t*>(info.ptr);
    const size_t size = static_cast<size_t>(info.size * info.itemsize);
    std::vector<uint8_t> out;
    Failure failure;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        kvhost::clear_errors();
        const HostStatus status = codec(bytes != nullptr ? bytes : reinterpret_cast<const uint8_t*>(""), size, &out);
        failure = take_records();
        if (status != 0 && failure.status == 0) failure = own_failure(status, what);
    }
    if (failure.status != 0) raise_failure(failure, what);
    return py::bytes(reinterpret_cast<const char*>(out.data()), out.size());
}

}  // namespace

void bind_lzw(py::module_& m) {
    m.def(
        "lzw_encode",
        [](const py::buffer& data, uint64_t max_memory) {
            return run(data, Limits{0, max_memory}, "cannot compress the data",
                       [](const uint8_t* d, size_t n, std::vector<uint8_t>* out) { return kvhost::lzw::compress(d, n, out); });
        },
        py::arg("data"), py::arg("max_memory"));
    m.def(
        "lzw_decode",
        [](const py::buffer& data, int64_t size, uint64_t max_memory) {
            return run(data, Limits{0, max_memory}, "cannot decompress the data",
                       [size](const uint8_t* d, size_t n, std::vector<uint8_t>* out) {
                           if (size < 0) return kvhost::lzw::decompress_all(d, n, 1, out);
                           return kvhost::lzw::decompress(d, n, static_cast<uint32_t>(size), 1, out);
                       });
        },
        py::arg("data"), py::arg("size"), py::arg("max_memory"));
}

}  // namespace kvpy
