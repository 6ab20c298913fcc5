// Composed frames of an animated GIF: one instance of the component's
// multi-page source per Animation, used by one thread at a time.
#include "native.h"

#include "kvhost/gif.h"
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace kvpy {
namespace {

namespace gf = kvhost::gif_frames;

class Frames {
public:
    Frames(const py::object& src, const Limits& limits) : input_(src), limits_(limits) {
        Failure failure;
        bool refused = false;
        {
            py::gil_scoped_release unlocked;
            Budget budget(limits_);
            // The canvas is the logical screen: its size is checked before
            // any frame is composed on it.
            kvhost::gif::PageResult first = kvhost::gif::page_info(input_.gif_source(), 1);
            const kvhost::MetadataNode* gif = first.metadata.child("GIF");
            const kvhost::MetadataNode* screen = gif != nullptr ? gif->child("LogicalScreenDescriptor") : nullptr;
            const kvhost::MetadataNode* w = screen != nullptr ? screen->child("LogicalScreenWidth") : nullptr;
            const kvhost::MetadataNode* h = screen != nullptr ? screen->child("LogicalScreenHeight") : nullptr;
            if (w != nullptr && h != nullptr && pixels_exceed(w->number(), h->number(), limits_, &failure)) {
                refused = true;
            } else {
                gf::Outcome opened;
                animation_ = gf::Animation::open(input_.gif_source(), &opened);
                if (animation_ == nullptr) {
                    failure = Failure{opened.status, opened.errors};
                    refused = true;
                } else {
                    const gf::Answer<uint64_t> count = animation_->page_count();
                    if (!count.ok()) {
                        failure = Failure{count.status, count.errors};
                        refused = true;
                    }
                    count_ = count.value;
                }
            }
        }
        if (refused) raise_failure(failure, "cannot open the GIF's frames");
    }

    uint64_t count() const { return count_; }

    // Frame i as (image, palette or None, delay_ms).
    py::tuple frame(uint64_t index, bool indexed) {
        gf::Answer<const HostImage*> image;
        gf::Answer<uint64_t> delay;
        std::vector<uint8_t> pixels, palette;
        uint32_t width = 0, height = 0;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            Budget budget(limits_);
            image = animation_->frame_image(index);
            if (image.ok()) {
                // The image lasts until the next call on the animation.
                const HostImage& c = *image.value;
                width = c.width;
                height = c.height;
                if (indexed) {
                    pixels = c.pixels;
                    palette.assign(c.palette.begin(), c.palette.begin() + (size_t{4} << c.depth));
                } else {
                    pixels = rgba_of(c);
                }
                delay = animation_->frame_delay(index);
            }
        }
        if (!image.ok()) raise_failure(Failure{image.status, image.errors}, "cannot compose frame " + std::to_string(index));
        if (!delay.ok()) raise_failure(Failure{delay.status, delay.errors}, "cannot read frame " + std::to_string(index) + "'s delay");
        const uint64_t delay_ms = delay.value / 10000;  // from 100-nanosecond units
        if (!indexed) return py::make_tuple(take_array<uint8_t>(std::move(pixels), {height, width, 4}), py::none(), delay_ms);
        return py::make_tuple(take_array<uint8_t>(std::move(pixels), {height, width}), palette_array(palette), delay_ms);
    }

    uint64_t duration_ms() { return ask([](gf::Animation& a) { return a.total_duration_ms(); }, "the duration"); }
    uint64_t frame_at(uint64_t ms) {
        return ask([ms](gf::Animation& a) { return a.frame_at_time(ms); }, "the frame at a time");
    }
    uint64_t default_delay_ms() { return ask([](gf::Animation& a) { return a.default_delay_ms(); }, "the default delay"); }
    uint64_t min_delay_ms() { return ask([](gf::Animation& a) { return a.min_delay_ms(); }, "the minimum delay"); }
    void set_default_delay_ms(uint64_t ms) {
        set([ms](gf::Animation& a) { return a.set_default_delay_ms(ms); }, "the default delay");
    }
    void set_min_delay_ms(uint64_t ms) {
        set([ms](gf::Animation& a) { return a.set_min_delay_ms(ms); }, "the minimum delay");
    }

private:
    // The canvas seen through its palette; the first frame's transparent
    // index (where the canvas starts out transparent) has alpha 0.
    std::vector<uint8_t> rgba_of(const HostImage& c) const {
        uint32_t lut[256];
        for (size_t i = 0; i < 256; ++i) {
            const uint8_t* e = c.palette.data() + i * 4;
            lut[i] = uint32_t{e[2]} | uint32_t{e[1]} << 8 | uint32_t{e[0]} << 16 | 0xFF000000u;
        }
        if (animation_->has_transparent_index()) lut[animation_->transparent_index()] &= 0x00FFFFFFu;
        std::vector<uint8_t> out(c.pixels.size() * 4);
        for (size_t i = 0; i < c.pixels.size(); ++i) std::memcpy(out.data() + i * 4, &lut[c.pixels[i]], 4);
        return out;
    }

    template <typename F>
    uint64_t ask(F&& f, const char* what) {
        gf::Answer<uint64_t> answer;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            Budget budget(limits_);
            answer = f(*animation_);
        }
        if (!answer.ok()) raise_failure(Failure{answer.status, answer.errors}, std::string("cannot read ") + what);
        return answer.value;
    }

    template <typename F>
    void set(F&& f, const char* what) {
        gf::Outcome outcome;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            outcome = f(*animation_);
        }
        if (!outcome.ok()) raise_failure(Failure{outcome.status, outcome.errors}, std::string("cannot set ") + what);
    }

    Input input_;
    Limits limits_;
    std::unique_ptr<gf::Animation> animation_;
    uint64_t count_ = 0;
    std::mutex mutex_;
};

}  // namespace

void bind_gif_frames(py::module_& m) {
    py::class_<Frames>(m, "Frames")
        .def(py::init([](const py::object& src, uint64_t max_pixels, uint64_t max_memory) {
                 return std::make_unique<Frames>(src, Limits{max_pixels, max_memory});
             }),
             py::arg("src"), py::arg("max_pixels"), py::arg("max_memory"))
        .def("count", &Frames::count)
        .def("frame", &Frames::frame, py::arg("index"), py::arg("indexed"))
        .def("duration_ms", &Frames::duration_ms)
        .def("frame_at", &Frames::frame_at, py::arg("ms"))
        .def("default_delay_ms", &Frames::default_delay_ms)
        .def("min_delay_ms", &Frames::min_delay_ms)
        .def("set_default_delay_ms", &Frames::set_default_delay_ms, py::arg("ms"))
        .def("set_min_delay_ms", &Frames::set_min_delay_ms, py::arg("ms"))
        ;
}

}  // namespace kvpy
