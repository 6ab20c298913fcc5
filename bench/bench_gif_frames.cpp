// Composing every frame of an animated GIF in order: the component's
// multi-page source through the host's frames API, against giflib
// (DGifSlurp, then a straightforward composition into an indexed canvas
// with the same disposal and transparency rules); and in true colour
// ("-rgba"), Animation::rgba_frame against DGifSlurp and the browsers'
// composition of bench/giflib_rgba.h. "frames/s" counts composed frames;
// "vs_giflib" is the giflib side's best CPU time divided by this one's.
// "held_MB" is what the composition holds once the last frame is composed:
// the instance's host images (and the budget the RGBA canvas holds), or
// giflib's slurped images and the canvas.
//
//   cmake -S . -B build-bench -G Ninja -DKVLZW_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   ninja -C build-bench bench_gif_frames && build-bench/bin/bench_gif_frames
#include "giflib_rgba.h"
#include "screen_capture.h"
#include "support.h"
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"
#include "kvhost/memory.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Bytes held after the last frame of the latest composition.
uint64_t g_held_bytes = 0;

// --- a screen capture: a 1280x720 desktop, then small updates ----------------

std::vector<uint8_t> screen_capture(int frames) {
    size_t size = 0;
    uint8_t* bytes = screen_capture_gif(frames, &size);
    std::vector<uint8_t> out(bytes, bytes + (bytes != nullptr ? size : 0));
    std::free(bytes);
    return out;
}

// --- giflib: DGifSlurp and a straightforward composition --------------------

int64_t giflib_compose(const std::vector<uint8_t>& bytes) {
    int error = 0;
    kvbench::GiflibMemory reader{&bytes, 0};
    GifFileType* gif = DGifOpen(&reader, kvbench::giflib_read_memory, &error);
    if (gif == nullptr) return -1;
    if (DGifSlurp(gif) != GIF_OK || gif->ImageCount == 0) {
        DGifCloseFile(gif, &error);
        return -1;
    }
    const int w = gif->SWidth, h = gif->SHeight;
    std::vector<uint8_t> canvas(size_t(w) * h, static_cast<uint8_t>(gif->SBackGroundColor)), saved;
    GraphicsControlBlock previous{0, false, 0, NO_TRANSPARENT_COLOR};
    GifImageDesc previous_desc{};
    for (int i = 0; i < gif->ImageCount; ++i) {
        if (previous.DisposalMode == DISPOSE_PREVIOUS && !saved.empty()) {
            canvas.swap(saved);
            saved.clear();
        } else if (previous.DisposalMode == DISPOSE_BACKGROUND) {
            const uint8_t fill = previous.TransparentColor != NO_TRANSPARENT_COLOR
                                     ? static_cast<uint8_t>(previous.TransparentColor)
                                     : static_cast<uint8_t>(gif->SBackGroundColor);
            for (int y = previous_desc.Top; y < std::min(h, previous_desc.Top + previous_desc.Height); ++y) {
                const int x0 = previous_desc.Left, x1 = std::min(w, previous_desc.Left + previous_desc.Width);
                if (x0 < x1) std::memset(&canvas[size_t(y) * w + x0], fill, x1 - x0);
            }
        }
        GraphicsControlBlock gcb{0, false, 0, NO_TRANSPARENT_COLOR};
        DGifSavedExtensionToGCB(gif, i, &gcb);
        const SavedImage& image = gif->SavedImages[i];
        const GifImageDesc& d = image.ImageDesc;
        if (gcb.DisposalMode == DISPOSE_PREVIOUS) saved = canvas;
        for (int y = 0; y < d.Height && d.Top + y < h; ++y) {
            const uint8_t* from = image.RasterBits + size_t(y) * d.Width;
            uint8_t* to = &canvas[size_t(d.Top + y) * w + d.Left];
            const int n = std::min(d.Width, w - d.Left);
            if (gcb.TransparentColor == NO_TRANSPARENT_COLOR) {
                if (n > 0) std::memcpy(to, from, n);
            } else {
                for (int x = 0; x < n; ++x)
                    if (from[x] != gcb.TransparentColor) to[x] = from[x];
            }
        }
        benchmark::DoNotOptimize(canvas.data());
        previous = gcb;
        previous_desc = d;
    }
    g_held_bytes = canvas.size() + saved.size();
    for (int i = 0; i < gif->ImageCount; ++i)
        g_held_bytes += uint64_t(gif->SavedImages[i].ImageDesc.Width) * gif->SavedImages[i].ImageDesc.Height;
    const int64_t frames = gif->ImageCount;
    DGifCloseFile(gif, &error);
    return frames;
}

// --- the component: every frame in order through the frames API -------------

int64_t kvlzw_compose(const std::vector<uint8_t>& bytes) {
    kvhost::gif_frames::Outcome outcome;
    auto animation = kvhost::gif_frames::Animation::open(kvhost::gif::Source::memory(bytes.data(), bytes.size()), &outcome);
    if (animation == nullptr) return -1;
    const uint64_t count = animation->page_count().value;
    for (uint64_t i = 0; i < count; ++i) {
        const auto frame = animation->frame_image(i);
        if (!frame.ok()) return -1;
        benchmark::DoNotOptimize(frame.value);
    }
    g_held_bytes = kvhost::images::live_bytes();
    return static_cast<int64_t>(count);
}

// --- true colour: giflib's images composed as browsers do, and rgba_frame ----

int64_t giflib_rgba_compose(const std::vector<uint8_t>& bytes) {
    int error = 0;
    kvbench::GiflibMemory reader{&bytes, 0};
    GifFileType* gif = DGifOpen(&reader, kvbench::giflib_read_memory, &error);
    if (gif == nullptr) return -1;
    int64_t frames = -1;
    if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
        const auto look = [](int, const uint8_t* canvas, void*) {
            benchmark::DoNotOptimize(canvas);
            return 0;
        };
        if (giflib_rgba_frames(gif, look, nullptr) == 0) frames = gif->ImageCount;
        // The canvas and its saved copy, and the slurped images.
        g_held_bytes = uint64_t{8} * static_cast<uint32_t>(gif->SWidth) * static_cast<uint32_t>(gif->SHeight);
        for (int i = 0; i < gif->ImageCount; ++i)
            g_held_bytes += uint64_t(gif->SavedImages[i].ImageDesc.Width) * gif->SavedImages[i].ImageDesc.Height;
    }
    DGifCloseFile(gif, &error);
    return frames;
}

int64_t kvlzw_rgba_compose(const std::vector<uint8_t>& bytes) {
    kvhost::gif_frames::Outcome outcome;
    auto animation = kvhost::gif_frames::Animation::open(kvhost::gif::Source::memory(bytes.data(), bytes.size()), &outcome);
    if (animation == nullptr) return -1;
    const uint64_t count = animation->page_count().value;
    for (uint64_t i = 0; i < count; ++i) {
        const auto frame = animation->rgba_frame(i);
        if (!frame.ok()) return -1;
        benchmark::DoNotOptimize(frame.value.pixels);
    }
    // What the budget counts for the animation: the canvas and room for its
    // saved copy, and the instance's images.
    g_held_bytes = kvhost::memory::operation_bytes() + kvhost::images::live_bytes();
    return static_cast<int64_t>(count);
}

using Compose = int64_t (*)(const std::vector<uint8_t>&);

// Each side and its baseline.
Compose baseline_of(Compose compose) {
    return compose == kvlzw_rgba_compose || compose == giflib_rgba_compose ? giflib_rgba_compose : giflib_compose;
}

// giflib's best CPU time over this one's, from runs that alternate so that
// both meet the same neighbours.
double ratio_to_giflib(Compose compose, const std::vector<uint8_t>& bytes) {
    double giflib = 1e9, ours = 1e9;
    const Compose baseline = baseline_of(compose);
    for (int run = 0; run < 15; ++run) {
        for (Compose c : {baseline, compose}) {
            const double start = kvbench::thread_seconds();
            benchmark::DoNotOptimize(c(bytes));
            double& best = c == baseline ? giflib : ours;
            best = std::min(best, kvbench::thread_seconds() - start);
        }
    }
    return giflib / ours;
}

void run(benchmark::State& state, const std::function<std::vector<uint8_t>()>& make, Compose compose) {
    kvbench::component();
    const std::vector<uint8_t> bytes = make();
    const int64_t frames = baseline_of(compose)(bytes);
    if (frames <= 0) {
        state.SkipWithError("sample missing or unreadable");
        return;
    }
    for (auto _ : state) {
        if (compose(bytes) != frames) {
            state.SkipWithError("composition failed");
            return;
        }
    }
    state.counters["held_MB"] = static_cast<double>(g_held_bytes) / (1 << 20);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames) * state.iterations(), benchmark::Counter::kIsRate);
    if (compose != baseline_of(compose)) state.counters["vs_giflib"] = ratio_to_giflib(compose, bytes);
}

struct Sample {
    std::string name;
    std::function<std::vector<uint8_t>()> make;
};

std::vector<Sample> samples() {
    auto corpus = [](const char* path) {
        return [path] { return kvbench::read_file(std::string(KVLZW_CORPUS_DIR) + "/" + path); };
    };
    return {
        {"screen capture 1280x720, 60 frames", [] { return screen_capture(60); }},
        {"screen capture 1280x720, 600 frames", [] { return screen_capture(600); }},
        {"gifplayer-muybridge (380 frames 472x298)", corpus("gif/wuffs/gifplayer-muybridge.gif")},
        {"iss634 (42 frames 245x245)", corpus("gif/pillow/iss634.gif")},
        {"chi (31 frames 320x240)", corpus("gif/pillow/chi.gif")},
        {"fire (33 frames 30x60)", corpus("gif/giflib/fire.gif")},
    };
}

const bool registered = [] {
    for (const Sample& sample : samples()) {
        benchmark::RegisterBenchmark(("kvlzw/" + sample.name).c_str(),
                                     [make = sample.make](benchmark::State& s) { run(s, make, kvlzw_compose); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("giflib/" + sample.name).c_str(),
                                     [make = sample.make](benchmark::State& s) { run(s, make, giflib_compose); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("kvlzw-rgba/" + sample.name).c_str(),
                                     [make = sample.make](benchmark::State& s) { run(s, make, kvlzw_rgba_compose); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("giflib-rgba/" + sample.name).c_str(),
                                     [make = sample.make](benchmark::State& s) { run(s, make, giflib_rgba_compose); })
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
