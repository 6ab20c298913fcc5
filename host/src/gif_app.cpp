#include "kvhost/gif.h"

#include "kvhost/image.h"
#include "kvhost/registry.h"
#include "kvhost/mapped_file.h"
#include "kvhost/stream.h"
#include "gif_page_index.h"
#include "gif_filter_access.h"
#include "api_guard.h"
#include "service_impl.h"

namespace kvhost::gif {
namespace {

constexpr const char* kModule = KVHOST_MODULE("gif_app");

// A stream over the caller's bytes; never null.
std::unique_ptr<HostStream> memory_source_stream(const uint8_t* data, size_t size) {
    return memory_view_stream(data != nullptr ? data : reinterpret_cast<const uint8_t*>(""), size);
}

std::unique_ptr<HostStream> open_source(const Source& source, HostStatus* status) {
    if (source.data != nullptr || source.path.empty()) return memory_source_stream(source.data, source.size);
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
// the stream that open(&status) gives, when both are there; the result
// carries the error records of this call alone.
template <typename Entry, typename Result, typename Open, typename Use>
Result run_entry(int32_t op, Open open, Use use) {
    clear_errors();
    Result result;
    HostStatus status = 0;
    auto entry = reinterpret_cast<Entry>(gif_entry(op, &status));
    std::unique_ptr<HostStream> stream = entry != nullptr ? open(&status) : nullptr;
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

// open(&status, &page) gives the stream, and may change the page number
// to the one that the stream shows the wanted page as.
template <typename Open>
PageResult load_with(Open open, uint32_t page, bool keep_tags) {
    const auto opened = [&](HostStatus* status) { return open(status, &page); };
    return run_entry<ImageLoadFn, PageResult>(
        KV_OP_LOAD, opened, [&](ImageLoadFn entry, HostStream& stream, PageResult& result) {
            stream.sink.keeps_tags = keep_tags;
            result.settings = default_settings();
            entry(&stream, &result.settings, page);
            take_sink(stream, result);
        });
}

template <typename Open>
PageResult info_with(Open open, uint32_t page) {
    const auto opened = [&](HostStatus* status) { return open(status, &page); };
    return run_entry<PageInfoFn, PageResult>(
        KV_OP_PAGE_INFO, opened, [&](PageInfoFn entry, HostStream& stream, PageResult& result) {
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

template <typename Open>
CountResult count_with(Open open) {
    return run_entry<PageCountFn, CountResult>(
        KV_OP_PAGE_COUNT, open, [](PageCountFn entry, HostStream& stream, CountResult& result) {
            constexpr uint32_t kUnwritten = 0xFFFFFFFFu;
            uint32_t count = kUnwritten;
            entry(&stream, nullptr, &count);
            result.count_written = count != kUnwritten;
            result.count = result.count_written ? count : 0;
        });
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

HostStatus load_rows(HostStream& stream, uint32_t page, const RowVisitor& row) {
    HostStatus status = 0;
    auto entry = reinterpret_cast<ImageLoadFn>(gif_entry(KV_OP_LOAD, &status));
    if (entry == nullptr) return status;
    LoadSink& sink = stream.sink;
    sink.keeps_tags = true;
    sink.keeps_metadata = false;
    sink.row_consumer = [&](int64_t y, const uint8_t* bytes, uint64_t count) { return row(sink, y, bytes, count); };
    GifSettings settings = default_settings();
    entry(&stream, &settings, page);
    sink.row_consumer = nullptr;
    return error_status();
}

HostStatus count_pages(const Source& source, uint32_t* count) {
    HostStatus status = 0;
    auto entry = reinterpret_cast<PageCountFn>(gif_entry(KV_OP_PAGE_COUNT, &status));
    if (entry == nullptr) return status;
    std::unique_ptr<HostStream> stream = open_source(source, &status);
    if (stream == nullptr) return status;
    *count = 0;
    entry(stream.get(), nullptr, count);
    return error_status();
}

uint64_t PageResult::attribute(uint32_t a) const {
    auto it = attributes.find(a);
    return it == attributes.end() ? 0 : it->second.value;
}

PageResult load_page(const Source& source, uint32_t page, bool keep_tags) {
    return load_with([&](HostStatus* status, uint32_t*) { return open_source(source, status); }, page, keep_tags);
}

PageResult page_info(const Source& source, uint32_t page) {
    return info_with([&](HostStatus* status, uint32_t*) { return open_source(source, status); }, page);
}

CountResult page_count(const Source& source) {
    return count_with([&](HostStatus* status) { return open_source(source, status); });
}

// The source's bytes, held for the reader's life, with the index of where
// its pages begin.
struct PageReader::Bytes {
    Source source;
    std::unique_ptr<MappedFile> file;
    const uint8_t* data = nullptr;
    size_t size = 0;
    PageIndex index;

    explicit Bytes(const Source& s, std::unique_ptr<MappedFile> mapped)
        : source(s), file(std::move(mapped)), data(file ? file->data() : s.data), size(file ? file->size() : s.size),
          index(data, size) {}

    // A file that cannot be read is left to the plain calls, which report why.
    bool held() const { return file == nullptr || file->ok(); }

    // A stream whose page 1 is page N of the source, the blocks of the pages
    // before it hidden; *page becomes 1 then. Where those blocks cannot be
    // passed over, the stream shows everything and *page stays.
    std::unique_ptr<HostStream> stream_for(uint32_t* page) {
        auto stream = memory_source_stream(data, size);
        if (file != nullptr) name_stream(*stream, source.path);
        if (*page >= 2) {
            const int64_t start = index.blocks_of(*page);
            if (start >= 0) {
                stream->hidden_from = index.header_end();
                stream->hidden_to = start;
                *page = 1;
            }
        }
        return stream;
    }
};

PageReader::PageReader(const Source& source) {
    const bool is_file = source.data == nullptr && !source.path.empty();
    bytes_ = std::make_unique<Bytes>(source, is_file ? std::make_unique<MappedFile>(source.path) : nullptr);
}

PageReader::~PageReader() = default;

PageResult PageReader::load(uint32_t page, bool keep_tags) {
    if (!bytes_->held()) return load_page(bytes_->source, page, keep_tags);
    return load_with([&](HostStatus*, uint32_t* shown) { return bytes_->stream_for(shown); }, page, keep_tags);
}

PageResult PageReader::info(uint32_t page) {
    if (!bytes_->held()) return page_info(bytes_->source, page);
    return info_with([&](HostStatus*, uint32_t* shown) { return bytes_->stream_for(shown); }, page);
}

// The check holds only the bytes and where the page begins, so it shares
// nothing that a load on this reader changes.
std::function<bool()> PageReader::completeness_check(uint32_t page) {
    if (!bytes_->held()) return [] { return true; };
    const int64_t start = bytes_->index.blocks_of(page == 0 ? 1 : page);
    return [data = bytes_->data, size = bytes_->size, start] { return PageIndex::data_complete(data, size, start); };
}

std::function<void()> PageReader::release_before(uint32_t page) {
    if (!bytes_->held() || bytes_->file == nullptr || page < 2) return [] {};
    const int64_t start = bytes_->index.blocks_of(page);
    const int64_t header_end = bytes_->index.header_end();
    if (start < 0 || header_end < 0) return [] {};
    return [file = bytes_->file.get(), header_end, start] {
        file->release(static_cast<size_t>(header_end), static_cast<size_t>(start));
    };
}

CountResult PageReader::count() {
    if (!bytes_->held()) return page_count(bytes_->source);
    uint32_t first = 1;
    return count_with([&](HostStatus*) { return bytes_->stream_for(&first); });
}

}  // namespace kvhost::gif
