// Interoperability with libtiff's LZW codec: our strips decode with libtiff,
// libtiff's strips (generated and from real files) decode with ours.
#include "kvhost/lzw.h"
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <cmath>
#include <filesystem>

namespace {

struct Sample {
    std::string name;
    uint32_t width, height;
    std::vector<uint8_t> pixels;
};

// Photographic-like, synthetic graphics, noise, and a few shapes that move
// the codes through every width and several clears.
std::vector<Sample> varied_samples() {
    std::mt19937 rng(2024);
    std::vector<Sample> samples;
    auto add = [&](std::string name, uint32_t w, uint32_t h, auto pixel) {
        Sample s{std::move(name), w, h, std::vector<uint8_t>(size_t{w} * h)};
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) s.pixels[size_t{y} * w + x] = static_cast<uint8_t>(pixel(x, y));
        samples.push_back(std::move(s));
    };
    add("photo", 640, 480, [&](uint32_t x, uint32_t y) {
        return 128 + 60 * std::sin(x * 0.02) * std::cos(y * 0.03) + (x * y) % 17 / 4 + rng() % 6;
    });
    add("graphics", 800, 600, [&](uint32_t x, uint32_t y) {
        if ((x / 40 + y / 40) % 2) return 200u;
        if (x > 300 && x < 500 && y > 200 && y < 400) return 30u;
        return (x % 97 == 0 || y % 89 == 0) ? 0u : 255u;
    });
    add("noise", 512, 512, [&](uint32_t, uint32_t) { return rng(); });
    add("flat", 1000, 700, [&](uint32_t, uint32_t) { return 7u; });
    add("text", 333, 77, [&](uint32_t x, uint32_t y) { return "lorem ipsum dolor sit amet "[(x + y * 3) % 27]; });
    add("tiny", 1, 1, [&](uint32_t, uint32_t) { return 42u; });
    for (uint32_t w : {253u, 254u, 255u, 256u, 510u, 3837u, 3838u, 3839u})
        add("noise-" + std::to_string(w), w, 1, [&](uint32_t, uint32_t) { return rng(); });
    return samples;
}

class TiffLzwLibtiff : public kvtest::CleanTest {
protected:
    void SetUp() override {
        CleanTest::SetUp();
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    }
};

TEST_F(TiffLzwLibtiff, StripsDecodeTheSameBothWays) {
    for (const auto& s : varied_samples()) {
        SCOPED_TRACE(s.name);
        // Ours, decoded by libtiff.
        std::vector<uint8_t> ours, all;
        ASSERT_EQ(kvhost::lzw::compress(s.pixels.data(), s.pixels.size(), &ours), 0);
        EXPECT_EQ(oracle::libtiff_decode(ours, s.width, s.height), s.pixels);
        // libtiff's, decoded by ours: the exact size, and through the application API to the end code.
        const auto theirs = oracle::libtiff_compress(s.pixels, s.width, s.height);
        ASSERT_FALSE(theirs.empty());
        EXPECT_EQ(tlzw::decode(theirs, static_cast<int32_t>(s.pixels.size())).out, s.pixels);
        ASSERT_EQ(kvhost::lzw::decompress_all(theirs.data(), theirs.size(), 1, &all), 0);
        EXPECT_EQ(all, s.pixels);
    }
}

TEST_F(TiffLzwLibtiff, StripsOfRealFilesDecodeAsLibtiffDecodesThem) {
    // Every strip of every LZW TIFF in the corpus that libtiff decodes whole,
    // without a predictor (which libtiff would undo on top of LZW).
    int strips = 0, files = 0;
    bool old_style_seen = false, fill_order_2_seen = false;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kvtest::corpus_path("tiff"))) {
        if (!entry.is_regular_file()) continue;
        TIFF* tif = TIFFOpen(entry.path().c_str(), "r");
        if (tif == nullptr) continue;
        uint16_t compression = 0, predictor = 1, fill_order = 1, bits = 8;
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
        TIFFGetField(tif, TIFFTAG_PREDICTOR, &predictor);
        TIFFGetField(tif, TIFFTAG_FILLORDER, &fill_order);
        // libtiff puts the samples of a file of the other byte order in host order.
        const bool swapped = TIFFIsByteSwapped(tif) && bits > 8;
        if (compression == COMPRESSION_LZW && predictor == 1 && !TIFFIsTiled(tif) && (!swapped || bits == 16)) {
            ++files;
            for (uint32_t i = 0; i < TIFFNumberOfStrips(tif); ++i) {
                std::vector<uint8_t> want(static_cast<size_t>(TIFFStripSize(tif)));
                const tmsize_t n = TIFFReadEncodedStrip(tif, i, want.data(), static_cast<tmsize_t>(want.size()));
                uint64_t* counts = nullptr;
                TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts);
                if (n <= 0 || counts == nullptr) continue;
                want.resize(static_cast<size_t>(n));
                std::vector<uint8_t> raw(static_cast<size_t>(counts[i]));
                if (TIFFReadRawStrip(tif, i, raw.data(), static_cast<tmsize_t>(raw.size())) < 0) continue;
                auto got = tlzw::decode(raw, static_cast<int32_t>(want.size()), fill_order).out;
                if (swapped) TIFFSwabArrayOfShort(reinterpret_cast<uint16_t*>(got.data()), got.size() / 2);
                ASSERT_EQ(got, want) << entry.path() << " strip " << i;
                old_style_seen |= raw.size() > 1 && raw[0] == 0 && (raw[1] & 1) == 1;
                fill_order_2_seen |= fill_order == 2;
                ++strips;
            }
        }
        TIFFClose(tif);
    }
    EXPECT_GE(files, 10);
    EXPECT_GE(strips, 50);
    EXPECT_TRUE(old_style_seen);
    EXPECT_TRUE(fill_order_2_seen);
}

}  // namespace
