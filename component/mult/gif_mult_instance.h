// An animated GIF opened for random access to its composed frames: one
// canvas, rebuilt from the first frame when an earlier frame is asked for.
#pragma once

#include "gif/gif_records.h"
#include "kvlzw/abi.h"
#include "mult/canvas_draw.h"
#include "mult/mult_instance.h"

#include <cstdint>

namespace kv {

class CKVGIFMultInstance final : public CKVMultInstanceDefaults {
public:
    CKVGIFMultInstance() = default;
    // Closes a stream it opened by name, frees its buffers and images.
    ~CKVGIFMultInstance();
    CKVGIFMultInstance(const CKVGIFMultInstance&) = delete;
    CKVGIFMultInstance& operator=(const CKVGIFMultInstance&) = delete;

    HostStatus open(HostStream* stream) override;
    uint32_t format_number() override { return KV_FORMAT_GIF; }
    uint64_t page_count() override { return page_count_; }
    uint64_t total_duration_ms() override;
    uint32_t constant_one() override { return 1; }
    HostImage* frame_image(uint64_t index) override;
    uint64_t frame_delay(uint64_t index) override;
    uint64_t frame_at_time(uint64_t milliseconds) override;
    uint32_t constant_zero() override { return 0; }
    void property_set(uint32_t id, const void* value) override;
    void property_get(uint32_t id, void* result) override;
    uint64_t property_size(uint32_t id) override;
    void page_property_16(void* first, uint32_t id) override;
    void page_property_17(void* first, uint32_t id) override;
    void page_property_18(void* first, uint32_t id) override;

private:
    HostStreamDescriptor* descriptor() const { return reinterpret_cast<HostStreamDescriptor*>(stream_); }
    bool opens_by_name() const;
    uint64_t converted_delay(uint32_t hundredths) const;
    uint8_t disposal_fill_index() const;

    void read_frame(bool restart);
    void compose_next_frame();
    void compose_next_frame_steps();
    void dispose_previous_frame();
    void copy_frame_palette();
    void seek_to_frame(uint64_t index);
    void abandon_pass();
    // Deletes every image the instance holds, ignoring the host's answers.
    void release_images();
    bool try_delete(HostImage*& image);
    void delete_image(HostImage*& image);
    // Walks every frame's delay from the header, calling visit(index, end in
    // ms) until it answers true; puts the stream back where it was.
    template <typename Visit>
    void walk_frame_times(Visit visit);

    HostStream* stream_ = nullptr;
    uint32_t open_ = 0;
    uint64_t duration_cache_ = 0;
    uint64_t page_count_ = 0;
    uint64_t canvas_width_ = 0;
    uint64_t canvas_height_ = 0;
    uint64_t canvas_depth_ = 0;
    uint32_t first_transparency_ = 0;
    uint64_t first_transparent_index_ = 0;
    uint32_t composing_ = 0;
    uint64_t current_index_ = 0;
    HostImage* canvas_ = nullptr;
    uint64_t frame_delay_ = 0;
    HostLoadRecord load_record_{};
    GifSettings settings_{};
    GifStreamRecord rec_{};
    HostImage* frame_image_ = nullptr;
    HeapBuffer scratch_;
    uint64_t disposal_ = 0;
    uint64_t frame_left_ = 0;
    uint64_t frame_top_ = 0;
    uint8_t frame_transparent_index_ = 0;
    uint32_t frame_transparency_ = 0;
    HostImage* saved_canvas_ = nullptr;
    HostImage* work_canvas_ = nullptr;
    CanvasRect previous_;
    uint64_t background_index_ = 0;
    uint32_t first_frame_differs_ = 0;
    uint64_t min_delay_ = 10;
    uint64_t default_delay_ = 100;
    bool opened_by_name_ = false;
};

}  // namespace kv
