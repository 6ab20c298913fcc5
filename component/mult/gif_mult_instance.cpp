// The GIF multi-page instance: opening, frame reading, composition with the
// GIF disposal rules, seeking, frame times and properties.
#include "mult/gif_mult_instance.h"

#include "gif/gif_entries.h"
#include "gif/gif_reader.h"
#include "mult/mult_failure.h"

#include <cstring>
#include <initializer_list>

namespace kv {
namespace {

constexpr int32_t kErrOutOfRange = -401;
constexpr int32_t kErrOpen = -2030;
constexpr int32_t kErrFrame = -2100;
constexpr int32_t kErrNoFrames = -2391;
constexpr int32_t kErrNoPalette = -4750;
constexpr uint32_t kOpenForReading = 0x80000000u;
constexpr uint64_t kUnitsPerHundredth = 100000;  // 100-nanosecond units
constexpr uint64_t kUnitsPerMillisecond = 10000;

}  // namespace

CKVGIFMultInstance::~CKVGIFMultInstance() {
    if (stream_ != nullptr) {
        if (opened_by_name_) g_host.IO_close(stream_);
        // The stream outlives the instance: it must not keep pointing into it.
        HostStreamDescriptor* d = descriptor();
        if (d->load_record == &load_record_) d->load_record = nullptr;
        if (d->load_record_alt == &load_record_) d->load_record_alt = nullptr;
        if (d->image_destination == &frame_image_) d->image_destination = nullptr;
    }
    release_images();
}

bool CKVGIFMultInstance::opens_by_name() const {
    const char* name = descriptor()->file_name;
    return name != nullptr && name[0] != '\0';
}

uint64_t CKVGIFMultInstance::converted_delay(uint32_t hundredths) const {
    if (hundredths > min_delay_ / 10) return hundredths * kUnitsPerHundredth;
    return (default_delay_ / 10) * kUnitsPerHundredth;
}

// After a frame without a transparent colour the index of an earlier frame
// would be stale (or unset): such frames restore the first frame's
// transparent index when it had one, else the screen's background.
uint8_t CKVGIFMultInstance::disposal_fill_index() const {
    if (frame_transparency_ != 0) return frame_transparent_index_;
    return static_cast<uint8_t>(first_transparency_ != 0 ? first_transparent_index_ : background_index_);
}

// A handle whose deletion failed is kept, so that a later deletion (at the
// latest the instance's) can try again.
bool CKVGIFMultInstance::try_delete(HostImage*& image) {
    if (image == nullptr || g_host.iKV_image_delete(image) == 0) {
        image = nullptr;
        return true;
    }
    return false;
}

void CKVGIFMultInstance::delete_image(HostImage*& image) {
    if (!try_delete(image)) throw_status();
}

HostStatus CKVGIFMultInstance::open(HostStream* stream) {
    stream_ = stream;
    load_record_ = HostLoadRecord{};
    load_record_.tag = new_memory_tag(module::kMultSource, __LINE__);
    HostStreamDescriptor* d = descriptor();
    d->load_record = &load_record_;
    d->load_record_alt = &load_record_;
    d->image_destination = &frame_image_;
    if (opens_by_name()) {
        if (g_host.IO_open(stream, d->file_name, kOpenForReading) < 0) fail(__LINE__, kErrOpen, 0, 0, 0, d->file_name);
        opened_by_name_ = true;
    }

    HostDibInfo* dib = nullptr;
    uint32_t value = 0;
    GIF_page_info(stream, &dib, &value, &settings_, 1);
    if (dib != nullptr) g_host.DIB_info_delete(dib);

    g_host.IO_seek(stream, 0, 0);
    uint32_t count = 0;
    GIF_page_count(stream, nullptr, &count);
    page_count_ = count;
    g_host.IO_seek(stream, 0, 0);
    current_index_ = 0;

    read_frame(true);
    const uint8_t bits = rec_.bit_count;
    canvas_depth_ = bits > 4 ? 8 : bits >= 2 ? 4 : bits;
    canvas_width_ = rec_.screen_width;
    canvas_height_ = rec_.screen_height;
    background_index_ = rec_.background_index;
    first_transparency_ = rec_.control_present != 0 && (rec_.control_fields & 1) != 0 ? 1 : 0;
    if (first_transparency_ != 0) first_transparent_index_ = rec_.transparent_index;
    first_frame_differs_ = rec_.image_width != rec_.screen_width || rec_.image_height != rec_.screen_height ? 1 : 0;

    delete_image(frame_image_);
    composing_ = 0;
    throw_if_failed(error_status());
    open_ = 1;
    return 0;
}

void CKVGIFMultInstance::read_frame(bool restart) {
    if (restart) {
        rec_ = GifStreamRecord{};
        settings_ = GifSettings{};
        gif_header_read(stream_, &rec_);
    }
    delete_image(frame_image_);  // the load places a new one
    if (gif_next_image_load(stream_, &settings_, &rec_) == 0) g_host.GPr_load_CB_data_done(&load_record_);
    throw_if_failed(error_status());
    if (g_host.iKV_image_is_valid(frame_image_) == 0) fail(__LINE__, kErrFrame);

    const bool control = rec_.control_present != 0;
    frame_delay_ = converted_delay(control ? rec_.delay_time : 0);
    disposal_ = control ? (rec_.control_fields >> 2) & 7 : 0;
    frame_left_ = rec_.image_left;
    frame_top_ = rec_.image_top;
    frame_transparency_ = control && (rec_.control_fields & 1) != 0 ? 1 : 0;
    if (frame_transparency_ != 0) frame_transparent_index_ = rec_.transparent_index;
    composing_ = 1;
}

void CKVGIFMultInstance::dispose_previous_frame() {
    if (disposal_ == 3 && saved_canvas_ != nullptr) {
        delete_image(canvas_);
        canvas_ = saved_canvas_;
        saved_canvas_ = nullptr;
    } else if (disposal_ == 2) {
        canvas_fill(canvas_, previous_, disposal_fill_index());
    }
}

void CKVGIFMultInstance::copy_frame_palette() {
    void* from = g_host.GPb_palette_pointer_get(frame_image_);
    void* to = g_host.GPb_palette_pointer_get(work_canvas_);
    if (from == nullptr || to == nullptr) {
        record_error(module::kMultSource, __LINE__, kErrNoPalette, 1, reinterpret_cast<intptr_t>(from),
                     reinterpret_cast<intptr_t>(to), "DIB has no palette");
        return;
    }
    std::memcpy(to, from, size_t{4} << canvas_depth_);
}

void CKVGIFMultInstance::compose_next_frame_steps() {
    const bool new_pass = composing_ == 0;
    if (new_pass) {
        for (HostImage** image : {&canvas_, &work_canvas_, &saved_canvas_, &frame_image_}) delete_image(*image);
        throw_if_failed(g_host.iKV_image_create_DIB(canvas_width_, canvas_height_, static_cast<uint32_t>(canvas_depth_),
                                                    0, &canvas_));
        previous_ = CanvasRect{0, 0, static_cast<int64_t>(canvas_width_), static_cast<int64_t>(canvas_height_)};
        const uint64_t index = first_frame_differs_ != 0 ? background_index_ : first_transparent_index_;
        canvas_fill(canvas_, previous_, static_cast<uint8_t>(index));
    } else {
        dispose_previous_frame();
    }

    work_canvas_ = canvas_;
    canvas_ = nullptr;
    read_frame(new_pass);
    if (new_pass) {
        // The canvas keeps the first frame's palette for the whole pass: a
        // later frame's table (or the global table after a later frame's
        // transparent colour fix-up) would recolour pixels drawn earlier.
        copy_frame_palette();
    } else {
        ++current_index_;
    }

    if (disposal_ == 3) {
        delete_image(saved_canvas_);
        throw_if_failed(g_host.iKV_image_duplicate(work_canvas_, &saved_canvas_));
    }
    canvas_draw(work_canvas_, frame_image_, frame_left_, frame_top_, frame_transparency_ != 0,
                frame_transparent_index_, scratch_);
    const Dimensions f = image_dimensions(frame_image_);
    previous_ = CanvasRect{static_cast<int64_t>(frame_left_), static_cast<int64_t>(frame_top_),
                           static_cast<int64_t>(frame_left_) + f.width, static_cast<int64_t>(frame_top_) + f.height};
    delete_image(frame_image_);
    canvas_ = work_canvas_;
    work_canvas_ = nullptr;
}

// A composition that fails part way leaves no half-drawn canvas behind: the
// next request starts a new pass from the first frame.
void CKVGIFMultInstance::compose_next_frame() {
    try {
        compose_next_frame_steps();
    } catch (...) {
        abandon_pass();
        throw;
    }
}

void CKVGIFMultInstance::release_images() {
    for (HostImage** image : {&canvas_, &work_canvas_, &saved_canvas_, &frame_image_}) try_delete(*image);
}

void CKVGIFMultInstance::abandon_pass() {
    release_images();
    composing_ = 0;
    current_index_ = 0;
}

void CKVGIFMultInstance::seek_to_frame(uint64_t index) {
    if (index >= page_count_) {
        fail(__LINE__, kErrOutOfRange, 0, static_cast<int64_t>(index), static_cast<int64_t>(page_count_));
    }
    if (current_index_ > index) {
        current_index_ = 0;
        composing_ = 0;
        delete_image(canvas_);
    }
    while (current_index_ < index || composing_ == 0) compose_next_frame();
}

HostImage* CKVGIFMultInstance::frame_image(uint64_t index) {
    seek_to_frame(index);
    return canvas_;
}

uint64_t CKVGIFMultInstance::frame_delay(uint64_t index) {
    seek_to_frame(index);
    return frame_delay_;
}

template <typename Visit>
void CKVGIFMultInstance::walk_frame_times(Visit visit) {
    const int64_t position = g_host.IO_tell(stream_);
    GifStreamRecord rec{};
    GifSettings settings{};
    bool failed = !try_delete(frame_image_) || gif_header_read(stream_, &rec) != 0;
    uint64_t end_ms = 0;
    for (uint64_t i = 0; i < page_count_ && !failed; ++i) {
        failed = gif_next_image_load(stream_, &settings, &rec) != 0 || g_host.iKV_image_is_valid(frame_image_) == 0;
        failed = !try_delete(frame_image_) || failed;
        if (failed) break;
        end_ms += converted_delay(rec.control_present != 0 ? rec.delay_time : 0) / kUnitsPerMillisecond;
        if (visit(i, end_ms)) break;
    }
    g_host.IO_seek(stream_, position, 0);
    if (failed) fail(__LINE__, kErrFrame);
}

uint64_t CKVGIFMultInstance::total_duration_ms() {
    if (duration_cache_ != 0) return duration_cache_;
    uint64_t total = 0;
    walk_frame_times([&](uint64_t, uint64_t end_ms) {
        total = end_ms;
        return false;
    });
    duration_cache_ = total;
    return total;
}

uint64_t CKVGIFMultInstance::frame_at_time(uint64_t milliseconds) {
    if (page_count_ == 0) fail(__LINE__, kErrNoFrames);
    if (milliseconds == 0) return 0;
    uint64_t shown = page_count_ - 1;
    walk_frame_times([&](uint64_t i, uint64_t end_ms) {
        if (end_ms <= milliseconds) return false;
        shown = i;
        return true;
    });
    return shown;
}

uint64_t CKVGIFMultInstance::property_size(uint32_t id) {
    switch (id) {
        case KV_MULT_PROP_0:
        case KV_MULT_PROP_1: return sizeof(uint32_t);
        case KV_MULT_PROP_DEFAULT_DELAY:
        case KV_MULT_PROP_MIN_DELAY: return sizeof(uint64_t);
        default: fail(__LINE__, kErrOutOfRange, 0, id);
    }
}

void CKVGIFMultInstance::property_get(uint32_t id, void* result) {
    if (result == nullptr) fail(__LINE__, kErrOutOfRange, 0, id);
    switch (id) {
        case KV_MULT_PROP_0: *static_cast<uint32_t*>(result) = 1; return;
        case KV_MULT_PROP_1: *static_cast<uint32_t*>(result) = 0; return;
        case KV_MULT_PROP_DEFAULT_DELAY: std::memcpy(result, &default_delay_, sizeof default_delay_); return;
        case KV_MULT_PROP_MIN_DELAY: std::memcpy(result, &min_delay_, sizeof min_delay_); return;
        default: fail(__LINE__, kErrOutOfRange, 0, id);
    }
}

void CKVGIFMultInstance::property_set(uint32_t id, const void* value) {
    if (value == nullptr || (id != KV_MULT_PROP_DEFAULT_DELAY && id != KV_MULT_PROP_MIN_DELAY))
        fail(__LINE__, kErrOutOfRange, 0, id);
    std::memcpy(id == KV_MULT_PROP_DEFAULT_DELAY ? &default_delay_ : &min_delay_, value, sizeof(uint64_t));
    // Delays convert differently now: neither a cached duration nor the
    // current frame's converted delay holds.
    duration_cache_ = 0;
    if (composing_ != 0) frame_delay_ = converted_delay(rec_.control_present != 0 ? rec_.delay_time : 0);
}

void CKVGIFMultInstance::page_property_16(void*, uint32_t id) { fail(__LINE__, kErrOutOfRange, 0, id); }
void CKVGIFMultInstance::page_property_17(void*, uint32_t id) { fail(__LINE__, kErrOutOfRange, 0, id); }
void CKVGIFMultInstance::page_property_18(void*, uint32_t id) { fail(__LINE__, kErrOutOfRange, 0, id); }

}  // namespace kv
