// Composed frames of an animated GIF: one instance of the component's
// multi-page source per Animation, used by one thread at a time.
#include "native.h"

#include "kvhost/gif.h"
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"
#include "kvhost/huge_pages.h"

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
            gf::Outcome opened;
            animation_ = gf::Animation::open(input_.gif_source(), &opened);
            if (animation_ == nullptr) {
                failure = Failure{opened.status, opened.errors};
                refused = true;
            } else if (pixels_exceed(animation_->screen_width(), animation_->screen_height(), limits_, &failure)) {
                // The canvas is the logical screen: checked before any frame is composed on it.
                refused = true;
            } else {
                const gf::Answer<uint64_t> count = animation_->page_count();
                if (!count.ok()) {
                    failure = Failure{count.status, count.errors};
                    refused = true;
                }
                count_ = count.value;
            }
            if (refused) animation_.reset();
        }
        if (refused) raise_failure(failure, "cannot open the GIF's frames");
    }

    uint64_t count() const { return count_; }

    // Frame i as (image, palette or None, delay_ms).
    py::tuple frame(uint64_t index, bool indexed) {
        return indexed ? indexed_frame(index) : rgba_frame(index);
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
    // The frame as a viewer shows it, copied into a numpy array (numpy's
    // large blocks are not cleared first).
    py::tuple rgba_frame(uint64_t index) {
        gf::Answer<gf::RgbaFrame> frame;
        py::array_t<uint8_t> rgba;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            Budget budget(limits_);
            frame = animation_->rgba_frame(index);
            // The pixels last until the next call on the animation.
            if (frame.ok()) {
                const gf::RgbaFrame& f = frame.value;
                {
                    py::gil_scoped_acquire locked;
                    rgba = py::array_t<uint8_t>({f.height, f.width, uint32_t{4}});
                }
                const size_t bytes = size_t{f.width} * f.height * 4;
                uint8_t* out = rgba.mutable_data();
                kvhost::advise_huge_pages(out, bytes);
                std::memcpy(out, f.pixels, bytes);
            }
        }
        if (!frame.ok()) raise_failure(Failure{frame.status, frame.errors}, "cannot compose frame " + std::to_string(index));
        return py::make_tuple(rgba, py::none(), frame.value.delay / 10000);  // from 100-nanosecond units
    }

    // The component's indexed canvas and its palette.
    py::tuple indexed_frame(uint64_t index) {
        gf::Answer<const HostImage*> image;
        gf::Answer<uint64_t> delay;
        std::vector<uint8_t> pixels, palette;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> lock(mutex_);
            Budget budget(limits_);
            image = animation_->frame_image(index);
            if (image.ok()) delay = animation_->frame_delay(index);
            // The image lasts until the next call on the animation.
            if (image.ok() && delay.ok()) {
                const HostImage& c = *image.value;
                pixels = c.pixels;
                palette.assign(c.palette.begin(), c.palette.begin() + (size_t{4} << c.depth));
            }
        }
        if (!image.ok()) raise_failure(Failure{image.status, image.errors}, "cannot compose frame " + std::to_string(index));
        if (!delay.ok()) raise_failure(Failure{delay.status, delay.errors}, "cannot read frame " + std::to_string(index) + "'s delay");
        const py::ssize_t h = image.value->height, w = image.value->width;
        return py::make_tuple(take_array<uint8_t>(std::move(pixels), {h, w}), palette_array(palette), delay.value / 10000);
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
