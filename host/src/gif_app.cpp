#include "kvhost/gif.h"

#include "kvhost/image.h"
#include "kvhost/registry.h"
#include "kvhost/stream.h"
#include "gif_filter_access.h"
#include "api_guard.h"
#include "service_impl.h"

namespace kvhost::gif {
namespace {

constexpr const char* kModule = KVHOST_MODULE("gif_app");

std::unique_ptr<HostStream> open_source(const Source& source, HostStatus* status) {
    if (source.data != nullptr || source.path.empty()) {
        return memory_view_stream(source.data != nullptr ? source.data : reinterpret_cast<const uint8_t*>(""),
                                  source.size);
    }
    std::string error;
    auto stream = file_stream(source.path, FileMode::kRead, &error);
    if (stream == nullptr) *status = record_host_error(kModule, __LINE__, host_error::kStream, error);
    return stream;
}

void take_sink(HostStream& stream, PageResult& result) {
    LoadSink& sink = stream.sink;
    result.image = std::move(sink.image);
    result.attributes = std::move(sink.attributes);
    result.metadata_balanced = sink.metadata.balanced && sink.metadata.open.empty();
    sink.metadata.open.clear();
    result.metadata = std::move(sink.metadata.root);
    result.tags = std::move(sink.tags);
}

// Calls use(entry, stream, result) with the GIF filter's entry for op and
// a stream over the source, when both are there; the result carries the
// error records of this call alone.
template <typename Entry, typename Result, typename Use>
Result run_entry(int32_t op, const Source& source, Use use) {
    clear_errors();
    Result result;
    HostStatus status = 0;
    auto entry = reinterpret_cast<Entry>(gif_entry(op, &status));
    auto stream = entry != nullptr ? open_source(source, &status) : nullptr;
    if (stream != nullptr) {
        guarded(kModule, __LINE__, [&] {
            use(entry, *stream, result);
            return HostStatus{0};
        });
    }
    result.errors = error_records();
    result.status = error_status();
    clear_errors();
    return result;
}

}  // namespace

void* gif_entry(int32_t op, HostStatus* status) {
    const RegisteredFilter filter = find_filter(KV_FORMAT_GIF);
    void* entry = nullptr;
    if (filter.control != nullptr) filter.control(nullptr, op, nullptr, nullptr, &entry, sizeof entry);
    if (entry == nullptr) {
        *status = record_host_error(kModule, __LINE__, host_error::kNotImplemented,
                                    "no GIF filter is registered (is the component started?)");
    }
    return entry;
}

GifSettings default_settings() {
    GifSettings settings{};
    const RegisteredFilter filter = find_filter(KV_FORMAT_GIF);
    if (filter.control != nullptr) filter.control(nullptr, KV_OP_SETTINGS_DEFAULTS, &settings, nullptr, nullptr, 0);
    return settings;
}

uint64_t PageResult::attribute(uint32_t a) const {
    auto it = attributes.find(a);
    return it == attributes.end() ? 0 : it->second.value;
}

PageResult load_page(const Source& source, uint32_t page, bool keep_tags) {
    return run_entry<ImageLoadFn, PageResult>(
        KV_OP_LOAD, source, [&](ImageLoadFn entry, HostStream& stream, PageResult& result) {
            stream.sink.keeps_tags = keep_tags;
            result.settings = default_settings();
            entry(&stream, &result.settings, page);
            take_sink(stream, result);
        });
}

PageResult page_info(const Source& source, uint32_t page) {
    return run_entry<PageInfoFn, PageResult>(
        KV_OP_PAGE_INFO, source, [&](PageInfoFn entry, HostStream& stream, PageResult& result) {
            result.settings = default_settings();
            HostDibInfo* dib = nullptr;
            entry(&stream, &dib, &result.info_value, &result.settings, page);
            if (dib != nullptr) {
                result.described = true;
                result.width = dib->width;
                result.height = dib->height;
                result.depth = dib->depth;
                result.palette = dib->palette;
                kvhost_DIB_info_delete(dib);
            }
            take_sink(stream, result);
        });
}

CountResult page_count(const Source& source) {
    return run_entry<PageCountFn, CountResult>(
        KV_OP_PAGE_COUNT, source, [](PageCountFn entry, HostStream& stream, CountResult& result) {
            constexpr uint32_t kUnwritten = 0xFFFFFFFFu;
            uint32_t count = kUnwritten;
            entry(&stream, nullptr, &count);
            result.count_written = count != kUnwritten;
            result.count = result.count_written ? count : 0;
        });
}

}  // namespace kvhost::gif
