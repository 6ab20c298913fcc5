// The raw LZW filter's load, as an application drives it (attributes set
// through the filter, then op 12), and the host's raster unpacking.
#include "kvhost/lzw.h"
#include "kvhost/memory.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <random>

namespace {

using kvhost::lzw::RawGeometry;

const HostServiceTable& host = kvhost::service_table();

RawGeometry geometry(uint64_t w, uint64_t h, uint32_t bpp, uint32_t fill = 1, uint32_t align = 1) {
    return RawGeometry{w, h, bpp, fill, align};
}

struct Load {
    HostStatus status = 0;
    std::unique_ptr<kvhost::LoadedImage> image;
    int64_t position = 0;
};

Load load(const std::vector<uint8_t>& data, const RawGeometry& g, int64_t start = 0) {
    auto stream = kvhost::memory_stream(data);
    stream->position = start;
    Load l;
    l.status = kvhost::lzw::load_raw(stream.get(), g, &l.image);
    l.position = stream->position;
    return l;
}

// Rows of `depth`-bit samples packed most significant bit first, each row
// padded to whole bytes.
std::vector<uint8_t> pack_rows(const std::vector<std::vector<uint32_t>>& rows, uint32_t depth) {
    tlzw::BitWriter w;
    for (const auto& row : rows) {
        for (uint32_t v : row) w.put(v, static_cast<int>(depth));
        w.pad_to_byte();
    }
    return w.bytes();
}

// The grey palette of a depth: entry i is i scaled to 0-255 in every colour.
void expect_grey_palette(const kvhost::LoadedImage& image, uint32_t bpp) {
    const uint32_t n = 1u << bpp;
    ASSERT_EQ(image.palette.size(), 4u * n);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(image.palette[i * 4 + c], i * 255 / (n - 1)) << i << ", " << c;
}

// The host keeps words least significant byte first.
uint16_t word_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Each test ends with nothing left allocated.
class RawLoad : public kvtest::CleanTest {};

TEST_F(RawLoad, CorpusRastersMatchLibtiff) {
    KVTEST_NEEDS_CORPUS();
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    const auto dir = kvtest::corpus_path("raw/derived/");
    // Each host row is libtiff's decoded stored row. The fill order 2 file
    // holds the first one's data with every byte bit-reversed; alignment 4
    // stores rows of 160 bytes, 3 of them skipped; 4-bit samples are unpacked
    // to a byte a pixel; 16-bit samples are stored little-endian, so fill
    // order 1 keeps them; the old-style strip is rows 75-79 of an RGB image,
    // read as 8-bit rows.
    const struct {
        const char* file;
        uint32_t width, height, bpp, fill, align = 1;
        const char* same_as = nullptr;
    } stored[] = {
        {"gray8-157x151.raw", 157, 151, 8, 1},
        {"gray8-157x151-fillorder2.raw", 157, 151, 8, 2, 1, "gray8-157x151.raw"},
        {"gray8-157x151-align4.raw", 157, 151, 8, 1, 4},
        {"bilevel1-157x151.raw", 157, 151, 1, 1},
        {"gray4-128x128.raw", 128, 128, 4, 1},
        {"gray16le-157x151.raw", 157, 151, 16, 1},
        {"oldstyle-rgb-strip15-1536x5.raw", 1536, 5, 8, 1},
    };
    for (const auto& f : stored) {
        SCOPED_TRACE(f.file);
        const size_t packed = (size_t{f.width} * f.bpp + 7) / 8, row_bytes = (packed + f.align - 1) / f.align * f.align;
        const auto data = kvtest::read_file(dir + f.file);
        const auto want = oracle::libtiff_decode(f.same_as ? kvtest::read_file(dir + f.same_as) : data,
                                                 static_cast<uint32_t>(row_bytes), f.height);
        ASSERT_EQ(want.size(), row_bytes * f.height);
        auto l = load(data, geometry(f.width, f.height, f.bpp, f.fill, f.align));
        ASSERT_EQ(l.status, 0);
        ASSERT_EQ(l.image->row_size, f.bpp == 4 ? f.width : packed);
        for (uint32_t y = 0; y < f.height; ++y) {
            const uint8_t *in = want.data() + y * row_bytes, *got = l.image->row(y);
            for (size_t i = 0; i < l.image->row_size; ++i)
                ASSERT_EQ(got[i], f.bpp == 4 ? (in[i / 2] >> (i % 2 ? 0 : 4)) & 15 : in[i]) << "row " << y << ", " << i;
        }
        EXPECT_EQ(l.image->rows_delivered, f.height);
        EXPECT_EQ(l.image->bits_per_channel, f.bpp > 8 ? 16u : f.bpp);
        if (f.bpp <= 8) expect_grey_palette(*l.image, f.bpp);
    }
    {
        // The first half of the data: the rows it covers, then zero rows.
        const auto want = oracle::libtiff_decode(kvtest::read_file(dir + "gray8-157x151.raw"), 157, 151);
        auto half = load(kvtest::read_file(dir + "gray8-157x151-truncated.raw"), geometry(157, 151, 8, 1));
        ASSERT_EQ(half.status, 0);
        const auto& px = half.image->pixels;
        size_t decoded = px.size();
        while (decoded > 0 && px[decoded - 1] == 0) --decoded;
        EXPECT_GT(decoded, px.size() / 3);
        EXPECT_LT(decoded, px.size() * 3 / 4);
        EXPECT_TRUE(std::equal(px.begin(), px.begin() + decoded, want.begin()));
        EXPECT_EQ(half.image->rows_delivered, 151u);
    }
}

TEST_F(RawLoad, RowGeometry) {
    // (Alignment, packed 1-bit rows and 4-bit rows: the corpus rasters above.)
    // 2 bits, 5 pixels wide: 2 bytes a row, unpacked; 4 grey levels.
    auto d = load(tlzw::reference_compress({0x1B, 0x80, 0xE4, 0x40}), geometry(5, 2, 2));
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.image->pixels, (std::vector<uint8_t>{0, 1, 2, 3, 2, 3, 2, 1, 0, 1}));
    expect_grey_palette(*d.image, 2);

    // 16 bits with each fill order: bytes of every sample swapped unless 1
    // (fill order 2 also stores the compressed bytes bit-reversed); the
    // corpus raster above checks fill order 1 on real data.
    const std::vector<uint8_t> words{0x12, 0x34, 0xAB, 0xCD};
    for (uint32_t fill : {0u, 1u, 2u}) {
        auto data = tlzw::reference_compress(words);
        if (fill == 2)
            for (auto& byte : data) byte = tlzw::reverse_bits(byte);
        auto e = load(data, geometry(2, 1, 16, fill));
        ASSERT_EQ(e.status, 0);
        EXPECT_EQ(word_at(e.image->row(0)), fill == 1 ? 0x3412 : 0x1234) << fill;
        EXPECT_EQ(word_at(e.image->row(0) + 2), fill == 1 ? 0xCDAB : 0xABCD) << fill;
    }

    // 3 samples of 12 bits: 36 bits, 5 bytes a row; two rows.
    const std::vector<std::vector<uint32_t>> rows{{0xABC, 0x123, 0xFED}, {0x001, 0x800, 0x7FF}};
    const auto packed = pack_rows(rows, 12);
    auto kept = load(tlzw::reference_compress(packed), geometry(3, 2, 12, 1));
    ASSERT_EQ(kept.status, 0);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(word_at(kept.image->row(y) + 2 * x), rows[y][x]);

    // Fill order 0: byte pairs of the packed row are swapped before
    // unpacking; the odd last byte stays, and the next row is untouched.
    std::vector<uint8_t> stored = packed;
    for (size_t r = 0; r < 2; ++r)
        for (size_t i = 0; i + 1 < 5; i += 2) std::swap(stored[r * 5 + i], stored[r * 5 + i + 1]);
    auto swapped = load(tlzw::reference_compress(stored), geometry(3, 2, 12, 0));
    ASSERT_EQ(swapped.status, 0);
    EXPECT_EQ(swapped.image->pixels, kept.image->pixels);
}

TEST_F(RawLoad, BadSettingsAndMemoryShortagePutTheStreamBack) {
    // (Short data: the truncated corpus raster above.)
    const auto data = tlzw::reference_compress(std::vector<uint8_t>(5000, 9));
    std::vector<uint8_t> framed{7, 7};
    framed.insert(framed.end(), data.begin(), data.end());
    // Failing allocations: the decoded-image buffer, then the 1 MiB input
    // buffer, the only allocations of their size; the record says the size.
    const struct {
        RawGeometry g;
        int32_t failing_size;
        int32_t code;
        const char* why;
    } cases[] = {
        {geometry(100, 1, 0), 0, -1007, "bits per pixel 0"},
        {geometry(1u << 20, 1u << 30, 0xFFFFFFFF), 0, -1007, "2^79 bytes of rows"},
        {geometry(1u << 20, 1u << 20, 16), 0, -1007, "2^40 bytes of rows"},
        {geometry(uint64_t{1} << 33, 1, 8), 0, -1007, "width above 32 bits"},
        {geometry(65536, 32768, 8), 0, -1007, "exactly 2 GiB"},
        {geometry(50, 100, 8), 50 * 100, -1000, "no memory for the image"},
        {geometry(50, 100, 8), 1 << 20, -1000, "no memory for the input"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        kvhost::clear_errors();
        if (c.failing_size != 0) kvhost::memory::fail_allocations_of_size(c.failing_size);
        auto l = load(framed, c.g, 2);
        kvhost::memory::clear_faults();
        EXPECT_NE(l.status, 0);
        EXPECT_EQ(l.position, 2) << "the stream goes back where it was";
        const auto records = kvhost::error_records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].code, c.code);
        if (c.failing_size != 0) { EXPECT_EQ(records[0].details[1], c.failing_size); }
    }
    kvhost::clear_errors();
}

TEST_F(RawLoad, DepthsAboveSixteenAreTheHostsToDescribe) {
    // 24 and 32 bits the host describes (RGB, RGBA): the rows come as
    // decoded. 17 bits it cannot: its own error, and nothing of ours.
    const std::vector<uint8_t> pixels{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (uint32_t bpp : {24u, 32u}) {
        auto l = load(tlzw::reference_compress(pixels), geometry(12 * 8 / bpp, 1, bpp));
        ASSERT_EQ(l.status, 0) << bpp;
        EXPECT_EQ(l.image->pixels, pixels) << bpp;
    }
    auto odd = load(tlzw::reference_compress(pixels), geometry(4, 1, 17));
    EXPECT_NE(odd.status, 0);
    const auto codes = kvtest::error_codes();
    EXPECT_TRUE(std::find(codes.begin(), codes.end(), -1007) == codes.end());
    kvhost::clear_errors();
}

TEST_F(RawLoad, HostUnpacksEveryDepth) {
    std::mt19937 rng(11);
    for (uint32_t depth = 1; depth <= 16; ++depth) {
        const uint32_t width = 1 + rng() % 50;
        std::vector<uint32_t> samples(width);
        for (auto& s : samples) s = rng() & ((1u << depth) - 1);
        const auto packed = pack_rows({samples}, depth);
        const size_t out_bytes = depth <= 8 ? width : 2 * width;
        std::vector<uint8_t> out(out_bytes + 4, 0xEE);
        ASSERT_EQ(host.iKV_IP_raster_unpack(1, depth, width, packed.data(), out.data(),
                                            static_cast<uint32_t>(packed.size())), 0);
        for (uint32_t x = 0; x < width; ++x)
            ASSERT_EQ(depth <= 8 ? out[x] : word_at(out.data() + 2 * x), samples[x]) << depth << " bits, x " << x;
        EXPECT_EQ(out[out_bytes], 0xEE) << "nothing written past the row";
    }
    // A source shorter than the samples reads as zero bits beyond its end.
    const uint8_t one = 0xFF;
    std::vector<uint8_t> out(4, 0xEE);
    ASSERT_EQ(host.iKV_IP_raster_unpack(1, 4, 4, &one, out.data(), 1), 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{15, 15, 0, 0}));
    kvhost::clear_errors();
    EXPECT_NE(host.iKV_IP_raster_unpack(1, 17, 4, &one, out.data(), 1), 0);
}

}  // namespace
