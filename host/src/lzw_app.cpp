// Application access to the component's TIFF LZW services and raw filter.
#include "kvhost/lzw.h"

#include "kvhost/errors.h"
#include "kvhost/filters.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "api_guard.h"

#include <algorithm>
#include <climits>
#include <cstring>
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

HostStatus compress_buffer(const uint8_t* data, size_t size, const ByteWriter& write) {
    auto fn = reinterpret_cast<KvLzwCompressFn>(named_service("KV_LZW_compress"));
    if (fn == nullptr) return missing("KV_LZW_compress");
    if (size > INT32_MAX) return too_large(size);
    const HostServiceTable& host = service_table();
    const uint32_t tag = host.AF_memm_unique_tag_get(kModule, __LINE__);
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    HostStatus status = fn(tag, data, static_cast<int32_t>(size), &buffer, &length);
    if (status == 0 && buffer != nullptr && !write(buffer, length)) {
        status = record_host_error(kModule, __LINE__, host_error::kStream, "the compressed bytes were not taken");
    }
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
// position `start`, the row handed to `take` as delivered (never held by
// the host); also reports where decoding left the stream. Input the stream
// could not supply (past the memory budget, a read failure) fails the load
// even where the decoder took it for the end of the data.
HostStatus decode_row(HostStream* stream, int64_t start, uint32_t size, uint16_t fill_order, const RowConsumer& take,
                      int64_t* position) {
    stream->position = start;
    stream->sink = LoadSink{};
    stream->sink.max_image_bytes = uint64_t{size} + 1;
    stream->sink.row_consumer = take;
    RawGeometry g;
    g.width = size;
    g.height = 1;
    g.bits_per_pixel = 8;
    // Fill order 1 and 0 read new-style bytes the same way.
    g.fill_order = fill_order;
    g.alignment = 1;
    const size_t errors_before = error_count();
    HostStatus status = load_raw_image(stream, g, nullptr);
    if (status == 0 && error_count() != errors_before) status = error_status();
    stream->sink.row_consumer = nullptr;
    if (position != nullptr) *position = stream->position;
    return status;
}

HostStatus decompress_exactly(HostStream* stream, int64_t start, uint32_t size, uint16_t fill_order,
                              const ByteWriter& write) {
    if (size > INT32_MAX) return too_large(size);
    if (size == 0) return 0;
    const RowConsumer pass_on = [&write](int64_t, const uint8_t* bytes, uint64_t count) -> HostStatus {
        if (count != 0 && !write(bytes, static_cast<size_t>(count))) {
            return record_host_error(kModule, __LINE__, host_error::kStream, "the decoded bytes were not taken");
        }
        return 0;
    };
    return decode_row(stream, start, size, fill_order, pass_on, nullptr);
}

// Where a decode of some size left the stream, and how many of its bytes
// reach up to the last non-zero one (bytes past the data come out zero).
struct Probe {
    int64_t position = 0;
    uint64_t nonzero = 0;
};

HostStatus probe(HostStream* stream, int64_t start, uint64_t size, uint16_t fill_order, Probe* result) {
    const RowConsumer measure = [result](int64_t, const uint8_t* bytes, uint64_t count) -> HostStatus {
        uint64_t n = count;
        while (n >= 8) {
            uint64_t word;
            std::memcpy(&word, bytes + n - 8, 8);
            if (word != 0) break;
            n -= 8;
        }
        while (n > 0 && bytes[n - 1] == 0) --n;
        result->nonzero = n;
        return 0;
    };
    return decode_row(stream, start, static_cast<uint32_t>(size), fill_order, measure, &result->position);
}

HostStatus decompress_to_end(HostStream* stream, uint16_t fill_order, const ByteWriter& write, int64_t stream_end) {
    // Decoding stops early only when the buffer is full. The decoded length
    // is one less than the smallest size whose decode leaves the stream
    // where every larger one does (at the end position); sizes are probed
    // without keeping what they decode.
    const int64_t start = stream->position;
    // The first size: 64 KiB, or less for a short stream (LZW data rarely
    // decodes to more than four times its size; larger ones grow below).
    const uint64_t first =
        stream_end > start ? std::clamp<uint64_t>(4 * static_cast<uint64_t>(stream_end - start), 4096, 1 << 16) : 1 << 16;
    Probe low_probe;
    HostStatus status = probe(stream, start, first, fill_order, &low_probe);
    if (status != 0) return status;
    // An upper size and its probe: first a guess from how far the first
    // decode read (the data goes on at about that rate), then doubling.
    // A size whose decode read to the end of the stream, or read no further
    // than a smaller one over 4096 bytes below it (strings are shorter), is
    // past the data.
    uint64_t size = first;
    uint64_t below = 0;  // a size that stops short of the end (or 0)
    Probe high = low_probe;
    bool past_end = stream_end >= 0 && low_probe.position >= stream_end;
    while (!past_end) {
        uint64_t grown = size * 2;
        const int64_t read = high.position - start;
        if (stream_end > high.position && read > 0) {
            const double rate = static_cast<double>(size) / static_cast<double>(read);
            const double guess = rate * static_cast<double>(stream_end - start) * 1.0625 + first;
            if (guess > static_cast<double>(grown)) grown = guess < INT32_MAX ? static_cast<uint64_t>(guess) : INT32_MAX;
        }
        if (grown > INT32_MAX) grown = INT32_MAX;
        if (grown <= size) return too_large(size * 2);
        Probe further;
        status = probe(stream, start, grown, fill_order, &further);
        if (status != 0) return status;
        if (further.position == high.position) break;  // `size` is past the data
        below = size;
        size = grown;
        high = further;
        past_end = stream_end >= 0 && high.position >= stream_end;
    }
    const int64_t end_position = high.position;
    // The smallest size that reaches the end lies in (low, size]. The data
    // most likely ends at its last non-zero byte: try just there first.
    uint64_t low = below;
    uint64_t high_size = size;
    const uint64_t guess = high.nonzero + 1;
    if (guess < high_size && guess > low) {
        Probe p;
        status = probe(stream, start, guess, fill_order, &p);
        if (status != 0) return status;
        if (p.position == end_position) high_size = guess;
        else low = guess;
    }
    if (high_size == guess && guess - 1 > low) {
        Probe p;
        status = probe(stream, start, guess - 1, fill_order, &p);
        if (status != 0) return status;
        if (p.position == end_position) high_size = guess - 1;
        else low = guess - 1;
    }
    while (high_size - low > 1) {
        const uint64_t mid = low + (high_size - low) / 2;
        Probe p;
        status = probe(stream, start, mid, fill_order, &p);
        if (status != 0) return status;
        if (p.position == end_position) high_size = mid;
        else low = mid;
    }
    return decompress_exactly(stream, start, static_cast<uint32_t>(high_size - 1), fill_order, write);
}

// Appends to a vector, sized ahead where the size is known.
ByteWriter append_to(std::vector<uint8_t>* out) {
    return [out](const uint8_t* bytes, size_t count) {
        if (out != nullptr) out->insert(out->end(), bytes, bytes + count);
        return true;
    };
}

}  // namespace

HostStatus compress(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    const ByteWriter keep = [out](const uint8_t* bytes, size_t count) {
        if (out != nullptr) out->assign(bytes, bytes + count);
        return true;
    };
    return compress(data, size, keep);
}

HostStatus compress(const uint8_t* data, size_t size, const ByteWriter& write) {
    return guarded(kModule, __LINE__, [&] { return compress_buffer(data, size, write); });
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
    if (out != nullptr) {
        out->clear();
        out->reserve(size);
    }
    const HostStatus status = decompress(stream, size, fill_order, append_to(out));
    if (status != 0 && out != nullptr) out->clear();
    return status;
}

HostStatus decompress(HostStream* stream, uint32_t size, uint16_t fill_order, const ByteWriter& write) {
    return guarded(kModule, __LINE__,
                   [&] { return decompress_exactly(stream, stream->position, size, fill_order, write); });
}

HostStatus decompress_all(const uint8_t* data, size_t length, uint16_t fill_order, std::vector<uint8_t>* out) {
    auto stream = memory_view_stream(data, length);
    if (out != nullptr) out->clear();
    const HostStatus status = decompress_all(stream.get(), fill_order, append_to(out), static_cast<int64_t>(length));
    if (status != 0 && out != nullptr) out->clear();
    return status;
}

HostStatus decompress_all(HostStream* stream, uint16_t fill_order, std::vector<uint8_t>* out) {
    if (out != nullptr) out->clear();
    const HostStatus status = decompress_all(stream, fill_order, append_to(out));
    if (status != 0 && out != nullptr) out->clear();
    return status;
}

HostStatus decompress_all(HostStream* stream, uint16_t fill_order, const ByteWriter& write, int64_t data_end) {
    return guarded(kModule, __LINE__, [&] { return decompress_to_end(stream, fill_order, write, data_end); });
}

}  // namespace kvhost::lzw
