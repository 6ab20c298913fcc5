// TIFF LZW throughput: our compressor ("KV_LZW_compress" through the host's
// named-service registry) and decode routine, side by side with libtiff's
// LZW codec on the same bytes. libtiff works on a one-strip 8-bit grey TIFF
// held in memory (TIFFClientOpen): TIFFWriteEncodedStrip to compress,
// TIFFReadEncodedStrip to decompress.
//
// Data kinds: "photo" (the Kodak photograph of the corpus, its RGB bytes),
// "graphics" (flat areas, stripes, lines and text-like runs), "noise".
// Throughput counts uncompressed bytes; "ratio" is compressed / uncompressed.
#include "../component/tiff/tif_lzw_decode.cpp"

#include "support.h"
#include "kvhost/component.h"
#include "kvhost/errors.h"
#include "kvhost/lzw.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kv {
HostServiceTable g_host;
}

namespace {

constexpr uint32_t kWidth = 1024;

// ---- libtiff over a memory buffer ------------------------------------------

struct MemFile {
    std::vector<uint8_t> bytes;
    toff_t pos = 0;
};

tmsize_t mem_read(thandle_t h, void* buf, tmsize_t size) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos >= f->bytes.size()) return 0;
    const tmsize_t n = std::min<tmsize_t>(size, static_cast<tmsize_t>(f->bytes.size() - f->pos));
    std::memcpy(buf, f->bytes.data() + f->pos, static_cast<size_t>(n));
    f->pos += static_cast<toff_t>(n);
    return n;
}
tmsize_t mem_write(thandle_t h, void* buf, tmsize_t size) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos + size > f->bytes.size()) f->bytes.resize(static_cast<size_t>(f->pos + size));
    std::memcpy(f->bytes.data() + f->pos, buf, static_cast<size_t>(size));
    f->pos += static_cast<toff_t>(size);
    return size;
}
toff_t mem_seek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    if (whence == SEEK_SET) f->pos = off;
    else if (whence == SEEK_CUR) f->pos += off;
    else f->pos = f->bytes.size() + off;
    return f->pos;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemFile*>(h)->bytes.size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}

TIFF* mem_open(MemFile* f, const char* mode) {
    f->pos = 0;
    return TIFFClientOpen("mem", mode, f, mem_read, mem_write, mem_seek, mem_close, mem_size, mem_map, mem_unmap);
}

// Opens a one-strip 8-bit grey LZW TIFF of `bytes` pixels for writing.
TIFF* open_grey_strip(MemFile* f, size_t bytes) {
    f->bytes.clear();
    TIFF* tif = mem_open(f, "w");
    const uint32_t height = static_cast<uint32_t>(bytes / kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    return tif;
}

// Compresses with libtiff; returns the strip's compressed size.
uint64_t libtiff_write(MemFile* f, const std::vector<uint8_t>& pixels) {
    TIFF* tif = open_grey_strip(f, pixels.size());
    TIFFWriteEncodedStrip(tif, 0, const_cast<uint8_t*>(pixels.data()), static_cast<tmsize_t>(pixels.size()));
    TIFFClose(tif);
    TIFF* in = mem_open(f, "r");
    uint64_t* counts = nullptr;
    TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &counts);
    const uint64_t size = counts != nullptr ? counts[0] : 0;
    TIFFClose(in);
    return size;
}

// The same strip as raw bytes in a TIFF, for libtiff to decode.
MemFile libtiff_file_with_strip(const std::vector<uint8_t>& strip, size_t pixels) {
    MemFile f;
    TIFF* tif = open_grey_strip(&f, pixels);
    TIFFWriteRawStrip(tif, 0, const_cast<uint8_t*>(strip.data()), static_cast<tmsize_t>(strip.size()));
    TIFFClose(tif);
    return f;
}

// ---- data -------------------------------------------------------------------

std::vector<uint8_t> photo_bytes() {
    const std::string path = std::string(KVLZW_CORPUS_DIR) + "/tiff/image-tiff/kodim02-lzw.tif";
    std::vector<uint8_t> bytes;
    if (TIFF* tif = TIFFOpen(path.c_str(), "r")) {
        const tmsize_t strip = TIFFStripSize(tif);
        std::vector<uint8_t> buf(static_cast<size_t>(strip));
        for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(tif, s, buf.data(), strip);
            if (n > 0) bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
        }
        TIFFClose(tif);
    }
    // The photograph may have a horizontal predictor in the file; the bytes
    // read back are plain pixels either way.
    bytes.resize(bytes.size() / kWidth * kWidth);
    return bytes;
}

std::vector<uint8_t> graphics_bytes() {
    std::vector<uint8_t> v(size_t{kWidth} * 1536);
    for (uint32_t y = 0; y < 1536; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            uint8_t p = 255;
            if ((x / 64 + y / 64) % 2 == 0) p = 230;
            if (x > 200 && x < 600 && y > 300 && y < 700) p = static_cast<uint8_t>(40 + (y - 300) / 8);
            if (x % 128 == 0 || y % 96 == 0) p = 0;
            if (y > 900 && y < 1200) p = "Label 12.5% text runs "[(x / 3 + y / 5) % 22];
            if ((x + 2 * y) % 301 < 3) p = 90;
            v[size_t{y} * kWidth + x] = p;
        }
    }
    return v;
}

std::vector<uint8_t> noise_bytes() {
    std::mt19937 rng(42);
    std::vector<uint8_t> v(size_t{kWidth} * 1024);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

const std::vector<uint8_t>& data(int kind) {
    static const std::vector<uint8_t> kinds[3] = {photo_bytes(), graphics_bytes(), noise_bytes()};
    return kinds[kind];
}
const char* kind_name(int kind) { return kind == 0 ? "photo" : kind == 1 ? "graphics" : "noise"; }

// The decode routine is compiled into this benchmark, so it needs the
// service table the module would have.
kvhost::Component& component() {
    static kvhost::Component& c = [&]() -> kvhost::Component& {
        kvhost::Component& loaded = kvbench::component();
        kv::g_host = kvhost::service_table();
        return loaded;
    }();
    return c;
}

std::vector<uint8_t> our_compress(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    kvhost::lzw::compress(in.data(), in.size(), &out);
    return out;
}

// Throughput in uncompressed bytes, the compressed size and its ratio to
// the uncompressed one, and the kind of data.
void report(benchmark::State& state, const std::vector<uint8_t>& in, uint64_t compressed) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
    state.counters["ratio"] = static_cast<double>(compressed) / in.size();
    state.counters["compressed"] = static_cast<double>(compressed);
    state.SetLabel(kind_name(static_cast<int>(state.range(0))));
}

// ---- benchmarks -------------------------------------------------------------

void BM_Compress_kvlzw(benchmark::State& state) {
    component();
    const auto& in = data(static_cast<int>(state.range(0)));
    uint64_t size = 0;
    // One output vector for all iterations, as libtiff's side keeps its
    // memory file: both then measure the codec, not the heap.
    std::vector<uint8_t> out;
    for (auto _ : state) {
        kvhost::lzw::compress(in.data(), in.size(), &out);
        size = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    report(state, in, size);
}

void BM_Compress_libtiff(benchmark::State& state) {
    component();
    const auto& in = data(static_cast<int>(state.range(0)));
    MemFile f;
    uint64_t size = 0;
    for (auto _ : state) {
        TIFF* tif = open_grey_strip(&f, in.size());
        TIFFWriteEncodedStrip(tif, 0, const_cast<uint8_t*>(in.data()), static_cast<tmsize_t>(in.size()));
        TIFFClose(tif);
    }
    size = libtiff_write(&f, in);
    report(state, in, size);
}

void BM_Decompress_kvlzw(benchmark::State& state) {
    component();
    const auto& in = data(static_cast<int>(state.range(0)));
    const auto strip = our_compress(in);
    std::vector<uint16_t> prefix(4096);
    std::vector<uint8_t> first(4096), last(4096), stack(4096), in_buf(1 << 20), out(in.size());
    uint32_t decoded = 0;
    for (auto _ : state) {
        auto stream = kvhost::memory_view_stream(strip.data(), strip.size());
        uint32_t count = 0;
        kv::TIF_LZW_decode(stream.get(), out.data(), static_cast<int32_t>(out.size()), prefix.data(), first.data(),
                           last.data(), stack.data(), in_buf.data(), &count, 1);
        benchmark::DoNotOptimize(out.data());
        decoded = count;
    }
    // Checked once, outside the timing: the comparison is not decoding.
    if (decoded != in.size() || out != in) state.SkipWithError("decoded bytes differ");
    report(state, in, strip.size());
}

// The whole raw filter load (decode, rows handed to the host one by one).
void BM_Decompress_kvlzw_raw_filter(benchmark::State& state) {
    component();
    const auto& in = data(static_cast<int>(state.range(0)));
    const auto strip = our_compress(in);
    kvhost::lzw::RawGeometry g;
    g.width = kWidth;
    g.height = in.size() / kWidth;
    g.bits_per_pixel = 8;
    g.fill_order = 1;
    for (auto _ : state) {
        auto stream = kvhost::memory_view_stream(strip.data(), strip.size());
        std::unique_ptr<kvhost::LoadedImage> image;
        if (kvhost::lzw::load_raw(stream.get(), g, &image) != 0) state.SkipWithError("raw load failed");
        benchmark::DoNotOptimize(image.get());
    }
    report(state, in, strip.size());
}

void BM_Decompress_libtiff(benchmark::State& state) {
    component();
    const auto& in = data(static_cast<int>(state.range(0)));
    const auto strip = our_compress(in);  // the same bytes both decoders read
    MemFile f = libtiff_file_with_strip(strip, in.size());
    std::vector<uint8_t> out(in.size());
    tmsize_t decoded = 0;
    for (auto _ : state) {
        TIFF* tif = mem_open(&f, "r");
        const tmsize_t n = TIFFReadEncodedStrip(tif, 0, out.data(), static_cast<tmsize_t>(out.size()));
        TIFFClose(tif);
        benchmark::DoNotOptimize(out.data());
        decoded = n;
    }
    if (decoded != static_cast<tmsize_t>(in.size()) || out != in) state.SkipWithError("decoded bytes differ");
    report(state, in, strip.size());
}

BENCHMARK(BM_Compress_kvlzw)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress_libtiff)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress_kvlzw)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress_kvlzw_raw_filter)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress_libtiff)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    TIFFSetWarningHandler(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
