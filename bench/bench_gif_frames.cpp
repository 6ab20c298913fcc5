// Composing every frame of an animated GIF in order: the component's
// multi-page source through the host's frames API, against giflib
// (DGifSlurp, then a straightforward composition into an indexed canvas
// with the same disposal and transparency rules). "frames/s" counts composed
// frames; "vs_giflib" is giflib's best CPU time divided by this one's.
// "held_MB" is what the composition holds once the last frame is composed:
// the instance's host images, or giflib's slurped images and the canvas.
//
//   cmake -S . -B build-bench -G Ninja -DKVLZW_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   ninja -C build-bench bench_gif_frames && build-bench/bin/bench_gif_frames
#include "support.h"
#include "kvhost/gif_frames.h"
#include "kvhost/host_image.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// Bytes held after the last frame of the latest composition.
uint64_t g_held_bytes = 0;

// --- a screen capture: a 1280x720 desktop, then small updates ----------------

uint32_t next(uint32_t& seed) {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
}

int write_to_vector(GifFileType* gif, const GifByteType* bytes, int n) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), bytes, bytes + n);
    return n;
}

// Rows of "text": runs of dark pixels on a light window, like a terminal.
void text_block(std::vector<uint8_t>& pixels, int width, int left, int top, int w, int h, uint32_t& seed) {
    for (int y = 0; y < h; ++y) {
        const bool line = (y % 14) < 9;
        for (int x = 0; x < w; ++x) {
            uint8_t value = 250;
            if (line && (x % 7) < 5 && next(seed) % 3 != 0) value = static_cast<uint8_t>(16 + next(seed) % 8);
            pixels[size_t(top + y) * width + left + x] = value;
        }
    }
}

std::vector<uint8_t> screen_capture(int frames) {
    constexpr int kW = 1280, kH = 720;
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, write_to_vector, &error);
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i) colours[i] = {static_cast<GifByteType>(i), static_cast<GifByteType>(i * 7),
                                                static_cast<GifByteType>(255 - i)};
    ColorMapObject* map = GifMakeMapObject(256, colours);
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, kW, kH, 8, 0, map);
    uint32_t seed = 1;
    auto put = [&](int left, int top, int w, int h, int disposal, int transparent, const std::vector<uint8_t>& px) {
        GraphicsControlBlock gcb{disposal, false, 4, transparent};
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        EGifPutImageDesc(gif, left, top, w, h, false, nullptr);
        for (int y = 0; y < h; ++y) EGifPutLine(gif, const_cast<GifPixelType*>(px.data() + size_t(y) * w), w);
    };
    // The desktop: a flat background, a task bar, two windows of text.
    std::vector<uint8_t> desktop(size_t(kW) * kH, 60);
    for (int y = kH - 40; y < kH; ++y) std::fill_n(desktop.begin() + size_t(y) * kW, kW, 90);
    text_block(desktop, kW, 80, 60, 560, 420, seed);
    text_block(desktop, kW, 700, 120, 500, 360, seed);
    put(0, 0, kW, kH, 1, NO_TRANSPARENT_COLOR, desktop);
    for (int f = 1; f < frames; ++f) {
        // A line of typing in the first window, and the cursor moving.
        std::vector<uint8_t> typed(size_t(560) * 28);
        text_block(typed, 560, 0, 0, 560, 28, seed);
        put(80, 60 + (f * 14) % 392, 560, 28, 1, NO_TRANSPARENT_COLOR, typed);
        std::vector<uint8_t> cursor(16 * 16, 255);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x <= y && x < 12; ++x) cursor[y * 16 + x] = 0;
        put((f * 37) % (kW - 16), (f * 23) % (kH - 16), 16, 16, 2, 255, cursor);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
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

using Compose = int64_t (*)(const std::vector<uint8_t>&);

// giflib's best CPU time over this one's, from runs that alternate so that
// both meet the same neighbours.
double ratio_to_giflib(Compose compose, const std::vector<uint8_t>& bytes) {
    double giflib = 1e9, ours = 1e9;
    for (int run = 0; run < 15; ++run) {
        for (Compose c : {giflib_compose, compose}) {
            const double start = kvbench::thread_seconds();
            benchmark::DoNotOptimize(c(bytes));
            double& best = c == giflib_compose ? giflib : ours;
            best = std::min(best, kvbench::thread_seconds() - start);
        }
    }
    return giflib / ours;
}

void run(benchmark::State& state, const std::function<std::vector<uint8_t>()>& make, Compose compose) {
    kvbench::component();
    const std::vector<uint8_t> bytes = make();
    const int64_t frames = giflib_compose(bytes);
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
    if (compose != giflib_compose)
        state.counters["vs_giflib"] = ratio_to_giflib(compose, bytes);
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
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
