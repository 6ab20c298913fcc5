// Interoperability with libtiff's LZW codec: our strips decode with libtiff,
// libtiff's decode with ours (strips of real files: the strip cross-check).
#include "kvhost/lzw.h"
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <cmath>

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

}  // namespace
