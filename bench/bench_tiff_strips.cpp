// Whole-image decode of large LZW TIFFs: the host's TIFF reader with the
// component's strip service against libtiff's TIFFReadEncodedStrip on the
// same bytes. Each iteration runs both, one after the other, so that load
// from other processes hits them alike; the counters give each one's MB/s
// (decoded bytes), the ratio of their total times (libtiff / kvlzw) and
// that of their best thread CPU times (ratio_best_cpu), the steadier one
// when other processes share the machine.
//
//   cmake -S . -B build -G Ninja -DKVLZW_BENCH=ON && ninja -C build
//   build/bin/bench_tiff_strips
#include "support.h"
#include "kvhost/component.h"
#include "kvhost/errors.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

enum class Content { kPhoto, kNoisy, kCorpusFile };

struct Case {
    const char* name;
    uint16_t spp;
    uint16_t bps;
    uint16_t predictor;
    Content content;
};

// "photo": the corpus photograph mirror-tiled to 2048 x 2048 (grey16 is its
// luma scaled to 16 bits); "noisy": smooth waves with uniform noise in the
// low bits, which LZW cannot compress (the worst case); "file": the corpus
// photograph's own LZW file.
const Case kCases[] = {
    {"rgb8_photo", 3, 8, 1, Content::kPhoto},
    {"rgb8_predictor2_photo", 3, 8, 2, Content::kPhoto},
    {"grey16_photo", 1, 16, 1, Content::kPhoto},
    {"grey16_predictor2_photo", 1, 16, 2, Content::kPhoto},
    {"rgb8_noisy", 3, 8, 1, Content::kNoisy},
    {"rgb8_predictor2_noisy", 3, 8, 2, Content::kNoisy},
    {"grey16_noisy", 1, 16, 1, Content::kNoisy},
    {"kodim02_rgb8_predictor2_file", 3, 8, 2, Content::kCorpusFile},
};

constexpr const char* kPhoto = "tiff/image-tiff/kodim02-lzw.tif";

constexpr uint32_t kWidth = 2048;
constexpr uint32_t kHeight = 2048;

// The photograph as 8-bit RGB, decoded by libtiff.
std::vector<uint8_t> photo_rgb(uint32_t* width, uint32_t* height) {
    TIFF* tif = TIFFOpen((std::string(KVLZW_CORPUS_DIR) + "/" + kPhoto).c_str(), "r");
    if (tif == nullptr) return {};
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, height);
    std::vector<uint32_t> rgba(size_t{*width} * *height);
    TIFFReadRGBAImageOriented(tif, *width, *height, rgba.data(), ORIENTATION_TOPLEFT, 0);
    TIFFClose(tif);
    std::vector<uint8_t> rgb;
    for (uint32_t p : rgba) rgb.insert(rgb.end(), {static_cast<uint8_t>(TIFFGetR(p)), static_cast<uint8_t>(TIFFGetG(p)),
                                                   static_cast<uint8_t>(TIFFGetB(p))});
    return rgb;
}

// Mirror tiling keeps the photograph's own statistics without seams.
uint32_t mirror(uint32_t v, uint32_t n) {
    const uint32_t period = 2 * n;
    v %= period;
    return v < n ? v : period - 1 - v;
}

// The case's image as an LZW TIFF written by libtiff with its default strip
// size.
std::vector<uint8_t> make_tiff(const Case& c) {
    if (c.content == Content::kCorpusFile) {
        std::ifstream in(std::string(KVLZW_CORPUS_DIR) + "/" + kPhoto, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    uint32_t photo_width = 0, photo_height = 0;
    const std::vector<uint8_t> photo = c.content == Content::kPhoto ? photo_rgb(&photo_width, &photo_height)
                                                                     : std::vector<uint8_t>{};
    if (c.content == Content::kPhoto && photo.empty()) return {};
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kvlzw_bench_" + std::to_string(getpid()) + "_" + c.name + ".tif")).string();
    TIFF* tif = TIFFOpen(path.c_str(), "wl");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, c.bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, c.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, c.spp == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, c.predictor);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    const size_t samples = size_t{kWidth} * c.spp;
    std::vector<uint8_t> row(samples * (c.bps / 8));
    uint32_t seed = 7;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (size_t i = 0; i < samples; ++i) {
            const uint32_t x = static_cast<uint32_t>(i / c.spp), ch = static_cast<uint32_t>(i % c.spp);
            double noisy;
            if (c.content == Content::kPhoto) {
                const uint8_t* p = photo.data() + (size_t{mirror(y, photo_height)} * photo_width + mirror(x, photo_width)) * 3;
                noisy = c.spp == 3 ? p[ch] / 255.0 : (0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]) / 255.0;
            } else {
                seed = seed * 1103515245u + 12345u;
                const double v =
                    0.5 + 0.25 * std::sin(x * 0.013 + ch) * std::cos(y * 0.021) + 0.2 * (x + y) / (2.0 * kWidth);
                noisy = v + ((seed >> 16) % 5) / 400.0;
            }
            if (c.bps == 8) {
                row[i] = static_cast<uint8_t>(std::fmin(255.0, noisy * 255.0));
            } else {
                const auto w = static_cast<uint16_t>(std::fmin(65535.0, noisy * 65535.0));
                std::memcpy(row.data() + 2 * i, &w, 2);
            }
        }
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
}

struct MemoryFile {
    const std::vector<uint8_t>* bytes;
    toff_t position = 0;
};

tmsize_t mem_read(thandle_t h, void* buffer, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(h);
    const toff_t left = f->bytes->size() > f->position ? f->bytes->size() - f->position : 0;
    const tmsize_t n = static_cast<tmsize_t>(std::min<toff_t>(left, static_cast<toff_t>(size)));
    std::memcpy(buffer, f->bytes->data() + f->position, static_cast<size_t>(n));
    f->position += static_cast<toff_t>(n);
    return n;
}
tmsize_t mem_write(thandle_t, void*, tmsize_t) { return -1; }
toff_t mem_seek(thandle_t h, toff_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    f->position = (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->position : f->bytes->size()) + offset;
    return f->position;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemoryFile*>(h)->bytes->size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}

// libtiff: open, then every strip with TIFFReadEncodedStrip into the image.
size_t libtiff_decode(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& image) {
    MemoryFile file{&bytes};
    TIFF* tif = TIFFClientOpen("bench", "rm", &file, mem_read, mem_write, mem_seek, mem_close, mem_size, mem_map,
                               mem_unmap);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    const tmsize_t strip_size = TIFFStripSize(tif);
    size_t total = 0;
    for (uint32_t s = 0; s < strips; ++s) {
        const size_t room = image.size() - total;
        const tmsize_t n = TIFFReadEncodedStrip(tif, s, image.data() + total,
                                                std::min<tmsize_t>(strip_size, static_cast<tmsize_t>(room)));
        if (n > 0) total += static_cast<size_t>(n);
    }
    TIFFClose(tif);
    return total;
}

void BM_TiffDecode(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    kvbench::component();
    const std::vector<uint8_t> bytes = make_tiff(c);
    if (bytes.empty()) {
        state.SkipWithError("no image");
        return;
    }
    kvhost::TiffImage described;
    {
        auto probe = kvhost::memory_view_stream(bytes.data(), bytes.size());
        kvhost::tiff_describe(probe.get(), 0, &described);
    }
    const size_t image_bytes = size_t{described.width} * described.height * c.spp * (c.bps / 8);
    std::vector<uint8_t> libtiff_image(image_bytes);
    double kv_seconds = 0, libtiff_seconds = 0;
    // The best thread CPU time of each side: what other processes on a
    // shared machine add to a run shows in neither.
    double kv_best = 1e9, libtiff_best = 1e9;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = kvbench::thread_seconds();
        auto stream = kvhost::memory_view_stream(bytes.data(), bytes.size());
        if (kvhost::tiff_load(stream.get(), 0) != 0 || stream->sink.image == nullptr ||
            stream->sink.image->pixels.size() != image_bytes) {
            state.SkipWithError("kvlzw decode failed");
            break;
        }
        benchmark::DoNotOptimize(stream->sink.image->pixels.data());
        stream.reset();
        const auto t1 = std::chrono::steady_clock::now();
        const double c1 = kvbench::thread_seconds();
        std::vector<uint8_t> image(image_bytes);
        if (libtiff_decode(bytes, image) != image_bytes) {
            state.SkipWithError("libtiff decode failed");
            break;
        }
        benchmark::DoNotOptimize(image.data());
        const auto t2 = std::chrono::steady_clock::now();
        const double c2 = kvbench::thread_seconds();
        kv_best = std::min(kv_best, c1 - c0);
        libtiff_best = std::min(libtiff_best, c2 - c1);
        kv_seconds += std::chrono::duration<double>(t1 - t0).count();
        libtiff_seconds += std::chrono::duration<double>(t2 - t1).count();
    }
    kvhost::clear_errors();
    const double megabytes = static_cast<double>(image_bytes) * static_cast<double>(state.iterations()) / 1e6;
    state.SetLabel(c.name);
    state.counters["kvlzw_MBps"] = kv_seconds > 0 ? megabytes / kv_seconds : 0;
    state.counters["libtiff_MBps"] = libtiff_seconds > 0 ? megabytes / libtiff_seconds : 0;
    state.counters["ratio"] = kv_seconds > 0 ? libtiff_seconds / kv_seconds : 0;
    state.counters["ratio_best_cpu"] = kv_best > 0 && kv_best < 1e9 ? libtiff_best / kv_best : 0;
    state.counters["file_MB"] = static_cast<double>(bytes.size()) / 1e6;
}

BENCHMARK(BM_TiffDecode)->DenseRange(0, 7)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
