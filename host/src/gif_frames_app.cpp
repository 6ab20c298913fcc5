#include "kvhost/gif_frames.h"

#include "kvhost/registry.h"
#include "kvhost/stream.h"
#include "api_guard.h"
#include "gif_filter_access.h"
#include "gif_rgba_composer.h"
#include "service_impl.h"

#include <cstring>

namespace kvhost::gif_frames {
namespace {

constexpr const char* kModule = KVHOST_MODULE("gif_frames");

std::unique_ptr<HostStream> stream_for(const gif::Source& source) {
    if (source.data != nullptr || source.path.empty()) {
        return memory_view_stream(source.data != nullptr ? source.data : reinterpret_cast<const uint8_t*>(""),
                                  source.size);
    }
    return named_stream(source.path);
}

// What loads leave in the sink is of no use here and would grow with every
// frame: only the image destination matters. The budget those copies held
// goes with them, or a long enough animation would run out of it part way.
void empty_sink(HostStream& stream) {
    LoadSink& sink = stream.sink;
    sink.image.reset();
    sink.attributes.clear();
    sink.metadata = MetadataTree{};
    sink.tags = TagStore{};
    sink.keeps_tags = false;
    sink.keeps_metadata = false;
    sink.retained.release();
    sink.over_budget = false;
}

template <typename O>
O finish(O outcome) {
    outcome.errors = error_records();
    outcome.status = error_status();
    clear_errors();
    return outcome;
}

}  // namespace

CKVMultSource* gif_source() {
    for (void* registered : registered_mult_sources()) {
        auto* source = static_cast<CKVMultSource*>(registered);
        if (source->format_number() == KV_FORMAT_GIF) return source;
    }
    return nullptr;
}

// The component throws its status after recording why; anything else (an
// allocation of the host's own, say) becomes a record of its own.
HostStatus guarded(const std::function<void()>& f) {
    return kvhost::guarded(kModule, __LINE__, [&] {
        try {
            f();
        } catch (int64_t status) {
            if (error_status() == 0) {
                record_host_error(kModule, __LINE__, static_cast<int32_t>(status), "a multi-page operation failed");
            }
        }
        return error_status();
    });
}

// The instance is made at the first call that needs it: opening it decodes
// the first frame, which the true-colour frames do not need.
std::unique_ptr<Animation> Animation::open(const gif::Source& source, Outcome* outcome) {
    clear_errors();
    std::unique_ptr<Animation> animation(new Animation);
    animation->source_ = gif_source();
    animation->gif_source_ = source;
    animation->stream_ = stream_for(source);
    Outcome result;
    if (animation->source_ == nullptr) {
        record_host_error(kModule, __LINE__, host_error::kNotImplemented,
                          "no GIF multi-page source is registered (is the component started?)");
        result = finish(Outcome{});
    } else if (!animation->source_->probe(animation->stream_.get())) {
        record_host_error(kModule, __LINE__, host_error::kBadArgument,
                          source.path.empty() ? "the data is not a GIF" : source.path + " is not a GIF");
        result = finish(Outcome{});
    } else {
        // The first page's description: the screen, and the graphic control
        // that tells the canvas's transparent index.
        const gif::PageResult first = gif::page_info(source, 1);
        result.status = first.status;
        result.errors = first.errors;
        if (const TagEntry* w = first.tags.find(KV_GIF_TAG_SCREEN_WIDTH)) animation->screen_width_ = w->word;
        if (const TagEntry* h = first.tags.find(KV_GIF_TAG_SCREEN_HEIGHT)) animation->screen_height_ = h->word;
        for (const TagEntry* tag : first.tags.all(KV_GIF_TAG_EXTENSION)) {
            if (tag->extension.label == KV_GIF_EXT_GRAPHIC_CONTROL && (tag->extension.fields & 1) != 0) {
                animation->has_transparent_index_ = true;
                animation->transparent_index_ = tag->extension.transparent_index;
            }
        }
    }
    if (outcome != nullptr) *outcome = result;
    if (!result.ok()) return nullptr;
    return animation;
}

Animation::~Animation() {
    rgba_.reset();
    if (instance_ == nullptr) return;
    guarded([&] { source_->destroy_instance(instance_); });
    clear_errors();
}

Outcome Animation::call(const std::function<void(CKVMultInstance&)>& operation) {
    clear_errors();
    guarded([&] {
        if (instance_ == nullptr) {
            HostStream* stream = stream_.get();
            stream->position = 0;
            instance_ = source_->create_instance(stream);
        }
        operation(*instance_);
    });
    empty_sink(*stream_);
    return finish(Outcome{});
}

template <typename T>
Answer<T> Animation::ask(const std::function<T(CKVMultInstance&)>& operation) {
    Answer<T> answer;
    static_cast<Outcome&>(answer) = call([&](CKVMultInstance& instance) { answer.value = operation(instance); });
    return answer;
}

// Before the instance is made, the reader's page count entry (the one its
// opening would call) answers without decoding the first frame.
Answer<uint64_t> Animation::page_count() {
    if (instance_ != nullptr) return ask<uint64_t>([](CKVMultInstance& i) { return i.page_count(); });
    Answer<uint64_t> answer;
    clear_errors();
    guarded([&] {
        if (page_count_known_ || gif::count_pages(gif_source_, &page_count_) == 0) page_count_known_ = true;
    });
    answer.value = page_count_;
    return finish(answer);
}

Answer<uint64_t> Animation::total_duration_ms() {
    return ask<uint64_t>([](CKVMultInstance& i) { return i.total_duration_ms(); });
}

Answer<const HostImage*> Animation::frame_image(uint64_t index) {
    return ask<const HostImage*>([&](CKVMultInstance& i) { return i.frame_image(index); });
}

Answer<Canvas> Animation::frame(uint64_t index) {
    Answer<Canvas> answer;
    const Answer<const HostImage*> image = frame_image(index);
    static_cast<Outcome&>(answer) = image;
    const HostImage* canvas = image.value;
    if (!answer.ok() || !images::is_live(canvas)) return answer;
    answer.value.width = canvas->width;
    answer.value.height = canvas->height;
    answer.value.depth = canvas->depth;
    answer.value.palette.assign(canvas->palette.begin(), canvas->palette.begin() + (size_t{4} << canvas->depth));
    answer.value.pixels.assign(canvas->pixels.begin(), canvas->pixels.begin() + size_t{canvas->width} * canvas->height);
    return answer;
}

// The multi-page source's conversion, so that both kinds of frame show the
// same times: a delay of at most the minimum counts as the default.
uint64_t Animation::converted_delay(uint32_t hundredths) const {
    constexpr uint64_t kUnitsPerHundredth = 100000;
    if (hundredths > min_delay_ms_ / 10) return hundredths * kUnitsPerHundredth;
    return (default_delay_ms_ / 10) * kUnitsPerHundredth;
}

Answer<RgbaFrame> Animation::rgba_frame(uint64_t index) {
    Answer<RgbaFrame> answer;
    clear_errors();
    guarded([&] {
        if (!page_count_known_) {
            if (gif::count_pages(gif_source_, &page_count_) != 0) return;
            page_count_known_ = true;
        }
        if (index >= page_count_) {
            record_host_error(kModule, __LINE__, host_error::kBadArgument,
                              "no frame " + std::to_string(index + 1) + " among " + std::to_string(page_count_), 0,
                              static_cast<int64_t>(index), static_cast<int64_t>(page_count_));
            return;
        }
        if (rgba_ == nullptr) rgba_ = std::make_unique<RgbaComposer>(gif_source_, screen_width_, screen_height_);
        if (rgba_->compose(index) != 0) return;
        answer.value.width = rgba_->width();
        answer.value.height = rgba_->height();
        answer.value.pixels = rgba_->pixels();
        answer.value.delay = converted_delay(rgba_->delay_hundredths());
    });
    return finish(answer);
}

Answer<uint64_t> Animation::frame_delay(uint64_t index) {
    return ask<uint64_t>([&](CKVMultInstance& i) { return i.frame_delay(index); });
}

Answer<uint64_t> Animation::frame_at_time(uint64_t milliseconds) {
    return ask<uint64_t>([&](CKVMultInstance& i) { return i.frame_at_time(milliseconds); });
}

Answer<uint64_t> Animation::default_delay_ms() {
    return ask<uint64_t>([](CKVMultInstance& i) {
        uint64_t value = 0;
        i.property_get(KV_MULT_PROP_DEFAULT_DELAY, &value);
        return value;
    });
}

Answer<uint64_t> Animation::min_delay_ms() {
    return ask<uint64_t>([](CKVMultInstance& i) {
        uint64_t value = 0;
        i.property_get(KV_MULT_PROP_MIN_DELAY, &value);
        return value;
    });
}

Outcome Animation::set_default_delay_ms(uint64_t milliseconds) {
    Outcome set = call([&](CKVMultInstance& i) { i.property_set(KV_MULT_PROP_DEFAULT_DELAY, &milliseconds); });
    if (set.ok()) default_delay_ms_ = milliseconds;
    return set;
}

Outcome Animation::set_min_delay_ms(uint64_t milliseconds) {
    Outcome set = call([&](CKVMultInstance& i) { i.property_set(KV_MULT_PROP_MIN_DELAY, &milliseconds); });
    if (set.ok()) min_delay_ms_ = milliseconds;
    return set;
}

}  // namespace kvhost::gif_frames
