// Application access to the component's TIFF LZW services and raw filter.
#include "kvhost/lzw.h"

#include "kvhost/errors.h"
#include "kvhost/filters.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "api_guard.h"

#include <climits>
#include <string>

namespace kvhost::lzw {

namespace {

constexpr const char* kModule = "host/lzw_app";

HostStatus missing(const char* what) {
    return record_host_error(kModule, __LINE__, host_error::kBadArgument,
                             std::string(what) + ": the component is not started or does not offer it");
}

HostStatus too_large(size_t size) {
    return record_host_error(kModule, __LINE__, host_error::kBadArgument,
                             std::to_string(size) + " bytes: more than a TIFF LZW call can take");
}

HostStatus compress_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    auto fn = reinterpret_cast<KvLzwCompressFn>(named_service("KV_LZW_compress"));
    if (fn == nullptr) return missing("KV_LZW_compress");
    if (size > INT32_MAX) return too_large(size);
    const HostServiceTable& host = service_table();
    const uint32_t tag = host.AF_memm_unique_tag_get(kModule, __LINE__);
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    const HostStatus status = fn(tag, data, static_cast<int32_t>(size), &buffer, &length);
    if (status == 0 && buffer != nullptr && out != nullptr) out->assign(buffer, buffer + length);
    host.AF_memm_free_all(tag, kModule, __LINE__);
    return status;
}

HostStatus compress_into(HostStream* stream, const uint8_t* data, size_t size, uint32_t* written) {
    auto fn = reinterpret_cast<TiffLzwWriteFn>(named_service("TIFF_LZW_Write"));
    if (fn == nullptr) return missing("TIFF_LZW_Write");
    if (size > INT32_MAX) return too_large(size);
    const HostServiceTable& host = service_table();
    const uint32_t tag = host.AF_memm_unique_tag_get(kModule, __LINE__);
    uint32_t count = static_cast<uint32_t>(size);
    const HostStatus status = fn(stream, tag, data, &count);
    if (status == 0 && written != nullptr) *written = count;
    host.AF_memm_free_all(tag, kModule, __LINE__);
    return status;
}

HostStatus load_raw_image(HostStream* stream, const RawGeometry& geometry, std::unique_ptr<LoadedImage>* image) {
    Filter filter(find_filter(KV_FORMAT_RAW_LZW));
    if (!filter.valid()) return missing("the raw LZW filter");
    auto load = reinterpret_cast<RawLoadFn>(filter.entry(KV_OP_LOAD));
    if (load == nullptr) return missing("the raw LZW load entry");
    std::vector<uint8_t> settings = filter.default_settings();
    HostStatus status = 0;
    const std::pair<const char*, uint64_t> attributes[] = {{"WIDTH", geometry.width},
                                                           {"HEIGHT", geometry.height},
                                                           {"BITS_PER_PIXEL", geometry.bits_per_pixel},
                                                           {"FILL_ORDER", geometry.fill_order},
                                                           {"ALIGNMENT", geometry.alignment}};
    for (const auto& [name, value] : attributes) {
        status = filter.set_attribute(settings, name, value);
        if (status != 0) return status;
    }
    stream->sink.image.reset();
    status = load(stream, settings.data());
    if (status == 0 && image != nullptr) *image = std::move(stream->sink.image);
    return status;
}

// One raw load of `size` bytes as a single 8-bit row from the stream's
// position `start`; also reports where decoding left the stream. Input the
// stream could not supply (past the memory budget, a read failure) fails the
// load even where the decoder took it for the end of the data.
HostStatus decode_row(HostStream* stream, int64_t start, uint32_t size, uint16_t fill_order,
                      std::vector<uint8_t>* out, int64_t* position) {
    stream->position = start;
    stream->sink = LoadSink{};
    stream->sink.max_image_bytes = uint64_t{size} + 1;
    std::unique_ptr<LoadedImage> image;
    RawGeometry g;
    g.width = size;
    g.height = 1;
    g.bits_per_pixel = 8;
    // Fill order 1 and 0 read new-style bytes the same way.
    g.fill_order = fill_order;
    g.alignment = 1;
    const size_t errors_before = error_count();
    HostStatus status = load_raw_image(stream, g, &image);
    if (status == 0 && error_count() != errors_before) status = error_status();
    if (position != nullptr) *position = stream->position;
    if (status == 0 && image != nullptr && out != nullptr) *out = std::move(image->pixels);
    return status;
}

HostStatus decompress_exactly(HostStream* stream, int64_t start, uint32_t size, uint16_t fill_order,
                              std::vector<uint8_t>* out) {
    if (size > INT32_MAX) return too_large(size);
    if (size == 0) {
        if (out != nullptr) out->clear();
        return 0;
    }
    return decode_row(stream, start, size, fill_order, out, nullptr);
}

HostStatus decompress_to_end(HostStream* stream, uint16_t fill_order, std::vector<uint8_t>* out) {
    // Decoding stops early only when the buffer is full; then a larger buffer
    // takes it further into the stream. Once a size leaves the stream where
    // any larger one does, the data has been decoded to its end. The
    // smallest such size is one more than the decoded length.
    const int64_t start = stream->position;
    int64_t at = 0;
    uint64_t size = 1 << 16;
    HostStatus status = decode_row(stream, start, static_cast<uint32_t>(size), fill_order, nullptr, &at);
    while (status == 0) {
        if (size * 2 > INT32_MAX) return too_large(size * 2);
        int64_t further = 0;
        status = decode_row(stream, start, static_cast<uint32_t>(size * 2), fill_order, nullptr, &further);
        if (status != 0 || further == at) break;
        at = further;
        size *= 2;
    }
    if (status != 0) return status;
    // Every string is at most 4096 bytes, so a size that stops short of the
    // end leaves the stream elsewhere: search (low, size] for the smallest
    // size that reaches the end.
    uint64_t low = size > (1 << 16) ? size / 2 - 1 : 0;  // stops short (or 0)
    uint64_t high = size;                                  // reaches the end
    while (high - low > 1) {
        const uint64_t mid = low + (high - low) / 2;
        int64_t p = 0;
        status = decode_row(stream, start, static_cast<uint32_t>(mid), fill_order, nullptr, &p);
        if (status != 0) return status;
        if (p == at) high = mid;
        else low = mid;
    }
    const uint32_t decoded = static_cast<uint32_t>(high - 1);
    return decompress_exactly(stream, start, decoded, fill_order, out);
}

}  // namespace

HostStatus compress(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    return guarded(kModule, __LINE__, [&] { return compress_buffer(data, size, out); });
}

HostStatus compress_to_stream(HostStream* stream, const uint8_t* data, size_t size, uint32_t* written) {
    return guarded(kModule, __LINE__, [&] { return compress_into(stream, data, size, written); });
}

HostStatus load_raw(HostStream* stream, const RawGeometry& geometry, std::unique_ptr<LoadedImage>* image) {
    return guarded(kModule, __LINE__, [&] { return load_raw_image(stream, geometry, image); });
}

HostStatus decompress(const uint8_t* data, size_t length, uint32_t size, uint16_t fill_order,
                      std::vector<uint8_t>* out) {
    auto stream = memory_view_stream(data, length);
    return decompress(stream.get(), size, fill_order, out);
}

HostStatus decompress(HostStream* stream, uint32_t size, uint16_t fill_order, std::vector<uint8_t>* out) {
    return guarded(kModule, __LINE__,
                   [&] { return decompress_exactly(stream, stream->position, size, fill_order, out); });
}

HostStatus decompress_all(const uint8_t* data, size_t length, uint16_t fill_order, std::vector<uint8_t>* out) {
    auto stream = memory_view_stream(data, length);
    return decompress_all(stream.get(), fill_order, out);
}

HostStatus decompress_all(HostStream* stream, uint16_t fill_order, std::vector<uint8_t>* out) {
    return guarded(kModule, __LINE__, [&] { return decompress_to_end(stream, fill_order, out); });
}

}  // namespace kvhost::lzw
