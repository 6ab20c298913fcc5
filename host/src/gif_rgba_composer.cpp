#include "gif_rgba_composer.h"

#include "kvhost/errors.h"
#include "kvhost/host_image.h"
#include "kvhost/stream.h"
#include "gif_filter_access.h"
#include "service_impl.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kvhost::gif_frames {
namespace {

constexpr const char* kModule = KVHOST_MODULE("gif_rgba_composer");
constexpr uint32_t kOpaqueBlack = 0xFF000000u;

uint32_t rgba(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t{r} | uint32_t{g} << 8 | uint32_t{b} << 16 | kOpaqueBlack;
}

uint32_t tag_value(const TagStore& tags, uint32_t tag) {
    const TagEntry* e = tags.find(tag);
    if (e == nullptr) return 0;
    if (e->kind == TagEntry::Kind::kWord) return e->word;
    return e->bytes.empty() ? 0 : e->bytes[0];
}

}  // namespace

RgbaComposer::RgbaComposer(const gif::Source& source, uint32_t width, uint32_t height)
    : source_(source), width_(width), height_(height) {}

RgbaComposer::~RgbaComposer() = default;

HostStatus RgbaComposer::reserve(uint64_t bytes, const char* what) {
    if (bytes <= reserved_) return 0;
    if (!budget_.reserve(bytes - reserved_)) {
        return record_host_error(kModule, __LINE__, host_error::kNoMemory,
                                 "the frame canvas of a " + std::to_string(width_) + " x " + std::to_string(height_) +
                                     " screen, with room for " + what + ", needs " + std::to_string(bytes) +
                                     " bytes, beyond the memory budget of " +
                                     std::to_string(memory::operation_limit()) + " bytes",
                                 0, static_cast<int64_t>(bytes));
    }
    reserved_ = bytes;
    return 0;
}

HostStatus RgbaComposer::start_pass() {
    composing_ = false;
    if (index_ == nullptr) {
        if (source_.data == nullptr && !source_.path.empty()) {
            file_ = std::make_unique<MappedFile>(source_.path);
            if (!file_->ok()) return record_host_error(kModule, __LINE__, host_error::kStream, file_->error());
            data_ = file_->data();
            size_ = file_->size();
        } else {
            data_ = source_.data != nullptr ? source_.data : reinterpret_cast<const uint8_t*>("");
            size_ = source_.size;
        }
        index_ = std::make_unique<gif::PageIndex>(data_, size_);
    }
    const uint64_t pixels = uint64_t{width_} * height_;
    if (pixels > images::pixel_limit()) {
        return record_host_error(kModule, __LINE__, host_error::kImageTooLarge,
                                 std::to_string(width_) + " x " + std::to_string(height_) + " frame canvas", 0,
                                 width_, height_);
    }
    // The canvas, and the most a disposal-3 frame can save, before any pixel
    // is decoded.
    if (reserve(pixels * 4 * 2, "the copy disposal 3 keeps") != 0) return error_status();
    try {
        canvas_.assign(pixels, 0);
        unpacked_.resize(width_ + 8);
    } catch (const std::bad_alloc&) {
        return record_host_error(kModule, __LINE__, host_error::kNoMemory, "frame canvas", 0,
                                 static_cast<int64_t>(pixels * 4));
    }
    drawn_ = 0;
    next_start_ = index_->header_end();
    frame_ = Frame{};
    composing_ = true;
    return 0;
}

HostStatus RgbaComposer::compose(uint64_t index) {
    if (!composing_ || index + 1 < drawn_) {
        if (start_pass() != 0) return error_status();
    }
    while (drawn_ <= index) {
        if (draw_next() != 0) {
            composing_ = false;
            return error_status();
        }
    }
    return 0;
}

void RgbaComposer::dispose_previous() {
    const Rect& r = frame_.rect;
    if (r.empty()) return;
    const uint32_t w = r.right - r.left;
    if (frame_.disposal == 2) {
        for (uint32_t y = r.top; y < r.bottom; ++y)
            std::fill_n(&canvas_[size_t{y} * width_ + r.left], w, 0u);
    } else if (frame_.disposal == 3 || frame_.disposal == 4) {
        for (uint32_t y = r.top; y < r.bottom; ++y)
            std::memcpy(&canvas_[size_t{y} * width_ + r.left], &saved_[size_t{y - r.top} * w], size_t{w} * 4);
    }
}

HostStatus RgbaComposer::draw_next() {
    if (drawn_ > 0) dispose_previous();
    auto stream = memory_view_stream(data_, size_);
    if (file_ != nullptr) name_stream(*stream, source_.path);
    uint64_t page = 1;
    if (next_start_ >= 0) {
        stream->hidden_from = index_->header_end();
        stream->hidden_to = next_start_;
    } else {
        page = drawn_ + 1;  // the long way, where the index could not pass a block
    }
    if (page > UINT32_MAX) return record_host_error(kModule, __LINE__, host_error::kBadArgument, "no such frame");
    frame_ = Frame{};
    const HostStatus loaded =
        gif::load_rows(*stream, static_cast<uint32_t>(page),
                       [this](const LoadSink& sink, int64_t y, const uint8_t* bytes, uint64_t count) {
                           return draw_row(sink, y, bytes, count);
                       });
    const LoadedImage* image = stream->sink.image.get();
    if (image != nullptr && !frame_.begun) begin_frame(stream->sink);
    if (image == nullptr || image->rows_delivered < image->height) {
        if (loaded == 0) {
            record_host_error(kModule, __LINE__, host_error::kUnexpected,
                              "frame " + std::to_string(drawn_ + 1) + " arrived without all its rows");
        }
        return error_status();
    }
    // What the load met after the frame's rows (a missing trailer, say)
    // does not spoil the frame.
    clear_errors();
    if (next_start_ >= 0) next_start_ = index_->skip_page(next_start_);
    ++drawn_;
    return 0;
}

void RgbaComposer::begin_frame(const LoadSink& sink) {
    const LoadedImage& image = *sink.image;
    const TagStore& tags = sink.tags;
    Frame& f = frame_;
    f.begun = true;
    f.left = tag_value(tags, KV_GIF_TAG_IMAGE_LEFT);
    f.top = tag_value(tags, KV_GIF_TAG_IMAGE_TOP);
    f.width = image.width;
    f.depth = image.depth;
    f.rect.left = std::min(f.left, width_);
    f.rect.top = std::min(f.top, height_);
    f.rect.right = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{f.left} + image.width, width_));
    f.rect.bottom = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{f.top} + image.height, height_));
    const auto attribute = [&](uint32_t a, bool* present) {
        const auto it = sink.attributes.find(a);
        *present = it != sink.attributes.end();
        return *present ? it->second.value : 0;
    };
    bool control = false;
    f.transparent_index = static_cast<uint8_t>(attribute(KV_ATTR_TRANSPARENT_INDEX, &f.transparent));
    f.disposal = static_cast<uint32_t>(attribute(KV_ATTR_DISPOSAL, &control));
    f.delay = static_cast<uint32_t>(attribute(KV_ATTR_DELAY, &control));

    // The table as the file gives it (the reader may have recoloured the
    // transparent entry of the palette it hands over); a frame without any
    // table takes the reader's default table from its palette.
    const uint32_t image_fields = tag_value(tags, KV_GIF_TAG_IMAGE_FIELDS);
    const uint32_t screen_fields = tag_value(tags, KV_GIF_TAG_SCREEN_FIELDS);
    const TagEntry* table = nullptr;
    uint32_t bits = (screen_fields & 7) + 1;
    if ((image_fields & 0x80) != 0) {
        table = tags.find(KV_GIF_TAG_LOCAL_TABLE);
        bits = (image_fields & 7) + 1;
    } else if ((screen_fields & 0x80) != 0) {
        table = tags.find(KV_GIF_TAG_GLOBAL_TABLE);
    }
    const uint32_t entries = 1u << bits;
    for (uint32_t i = 0; i < 256; ++i) {
        if (i >= entries) {
            colours_[i] = kOpaqueBlack;
        } else if (table != nullptr && table->bytes.size() >= size_t{i} * 3 + 3) {
            const uint8_t* c = &table->bytes[size_t{i} * 3];
            colours_[i] = rgba(c[0], c[1], c[2]);
        } else if (table == nullptr && image.palette.size() >= size_t{i} * 4 + 4) {
            const uint8_t* c = &image.palette[size_t{i} * 4];
            colours_[i] = rgba(c[2], c[1], c[0]);
        } else {
            colours_[i] = kOpaqueBlack;
        }
    }

    const Rect& r = f.rect;
    if ((f.disposal == 3 || f.disposal == 4) && !r.empty()) {
        // The reservation made at the pass's start covers the whole screen.
        const uint32_t w = r.right - r.left;
        saved_.resize(size_t{w} * (r.bottom - r.top));
        for (uint32_t y = r.top; y < r.bottom; ++y)
            std::memcpy(&saved_[size_t{y - r.top} * w], &canvas_[size_t{y} * width_ + r.left], size_t{w} * 4);
    }
}

HostStatus RgbaComposer::draw_row(const LoadSink& sink, int64_t y, const uint8_t* bytes, uint64_t count) {
    if (!frame_.begun) begin_frame(sink);
    const Frame& f = frame_;
    const uint64_t cy = uint64_t{f.top} + static_cast<uint64_t>(y);
    if (y < 0 || cy >= height_ || f.rect.empty()) return 0;
    uint64_t n = f.rect.right - f.rect.left;
    const uint8_t* index = bytes;
    if (f.depth == 1) {
        n = std::min<uint64_t>(n, count * 8);
        uint8_t* out = unpacked_.data();
        for (uint64_t x = 0; x < n; ++x) out[x] = (bytes[x >> 3] >> (7 - (x & 7))) & 1;
        index = out;
    } else {
        n = std::min<uint64_t>(n, count);
    }
    uint32_t* to = &canvas_[cy * width_ + f.rect.left];
    const uint32_t* colours = colours_;
    if (f.transparent) {
        const uint8_t t = f.transparent_index;
        for (uint64_t x = 0; x < n; ++x) {
            const uint8_t i = index[x];
            if (i != t) to[x] = colours[i];
        }
    } else {
        for (uint64_t x = 0; x < n; ++x) to[x] = colours[index[x]];
    }
    return 0;
}

}  // namespace kvhost::gif_frames
