// Whole-file GIF decoding: every page of a file through the host and the
// component, against giflib (DGifSlurp) and stb_image (which composes each
// frame to RGBA besides decoding it). Throughput counts the indexed pixels
// of all images (width x height of each), the same figure for every
// decoder; "vs_giflib" is giflib's time divided by this decoder's.
//
//   cmake -S . -B build-bench -G Ninja -DKVLZW_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   ninja -C build-bench bench_gif_decode && build-bench/bin/bench_gif_decode
#include "support.h"
#include "kvhost/component.h"
#include "kvhost/gif.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_GIF
#include <stb/stb_image.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Sample {
    const char* name;
    const char* path;  // in the corpus
};

const Sample kSamples[] = {
    {"harvesters (photo 1165x859)", "gif/wuffs/harvesters.gif"},
    {"bricks (photo 160x120)", "gif/wuffs/bricks-nodither.gif"},
    {"gifplayer-muybridge (380 small frames)", "gif/wuffs/gifplayer-muybridge.gif"},
    {"iss634 (42 frames 245x245)", "gif/pillow/iss634.gif"},
    {"chi (31 frames 320x240)", "gif/pillow/chi.gif"},
    {"waves (10 frames 268x86)", "gif/libnsgif/waves.gif"},
};

// Pixels of all images, as giflib sees them; -1 when giflib fails.
int64_t giflib_decode(const std::vector<uint8_t>& bytes) {
    int error = 0;
    kvbench::GiflibMemory reader{&bytes, 0};
    GifFileType* gif = DGifOpen(&reader, kvbench::giflib_read_memory, &error);
    if (gif == nullptr) return -1;
    int64_t pixels = -1;
    if (DGifSlurp(gif) == GIF_OK) {
        pixels = 0;
        for (int i = 0; i < gif->ImageCount; ++i) {
            pixels += int64_t{gif->SavedImages[i].ImageDesc.Width} * gif->SavedImages[i].ImageDesc.Height;
        }
    }
    DGifCloseFile(gif, &error);
    return pixels;
}

// Every page in order through one page reader, as an application that
// wants them all reads them.
int64_t kvlzw_decode(const std::vector<uint8_t>& bytes) {
    kvhost::gif::PageReader reader(kvhost::gif::Source::memory(bytes.data(), bytes.size()));
    const uint32_t pages = reader.count().count;
    int64_t pixels = 0;
    for (uint32_t page = 1; page <= pages; ++page) {
        const auto r = reader.load(page);
        if (!r.ok()) return -1;
        pixels += int64_t{r.image->width} * r.image->height;
    }
    return pixels;
}

int64_t stb_decode(const std::vector<uint8_t>& bytes) {
    int* delays = nullptr;
    int w = 0, h = 0, frames = 0, channels = 0;
    stbi_uc* out = stbi_load_gif_from_memory(bytes.data(), static_cast<int>(bytes.size()), &delays, &w, &h, &frames,
                                             &channels, 4);
    if (out == nullptr) return -1;
    stbi_image_free(out);
    stbi_image_free(delays);
    return frames;
}

// Seconds per whole-file giflib decode (best of several), for the ratio.
double giflib_seconds(const std::vector<uint8_t>& bytes) {
    double best = 1e9;
    for (int run = 0; run < 15; ++run) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(giflib_decode(bytes));
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void run(benchmark::State& state, const Sample& sample, int64_t (*decode)(const std::vector<uint8_t>&)) {
    kvbench::component();
    const std::vector<uint8_t> bytes = kvbench::read_file(std::string(KVLZW_CORPUS_DIR) + "/" + sample.path);
    const int64_t pixels = giflib_decode(bytes);
    if (bytes.empty() || pixels <= 0) {
        state.SkipWithError("sample missing or unreadable");
        return;
    }
    for (auto _ : state) {
        if (decode(bytes) < 0) {
            state.SkipWithError("decode failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * pixels);
    state.counters["MPix/s"] = benchmark::Counter(static_cast<double>(pixels) * state.iterations() / 1e6,
                                                  benchmark::Counter::kIsRate);
    if (decode != giflib_decode) {
        // Ratio of best times, measured right here so both see the same machine state.
        double best = 1e9;
        for (int run = 0; run < 15; ++run) {
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(decode(bytes));
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        state.counters["vs_giflib"] = giflib_seconds(bytes) / best;
    }
}

const bool registered = [] {
    for (const Sample& sample : kSamples) {
        benchmark::RegisterBenchmark((std::string("kvlzw/") + sample.name).c_str(),
                                     [&sample](benchmark::State& s) { run(s, sample, kvlzw_decode); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("giflib/") + sample.name).c_str(),
                                     [&sample](benchmark::State& s) { run(s, sample, giflib_decode); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("stb_image/") + sample.name).c_str(),
                                     [&sample](benchmark::State& s) { run(s, sample, stb_decode); })
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
