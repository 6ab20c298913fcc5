// The "KV_LZW_compress" and "TIFF_LZW_Write" named services, and
// interoperability with libtiff's LZW codec: our strips decode with libtiff,
// libtiff's decode with ours (strips of real files: the strip cross-check).
#include "kvhost/errors.h"
#include "kvhost/lzw.h"
#include "kvhost/stream.h"
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace {

using tlzw::random_bytes;

const HostServiceTable& host = kvhost::service_table();

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

// Ends with nothing allocated that the test did not hold before; libtiff
// says nothing of the streams it is given.
class TiffLzwEncode : public kvtest::CleanTest {
protected:
    void SetUp() override {
        CleanTest::SetUp();
        compress_fn = reinterpret_cast<KvLzwCompressFn>(kvhost::named_service("KV_LZW_compress"));
        write_fn = reinterpret_cast<TiffLzwWriteFn>(kvhost::named_service("TIFF_LZW_Write"));
        ASSERT_TRUE(compress_fn && write_fn);
        tag = host.AF_memm_unique_tag_get("test", __LINE__);
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
    }
    void TearDown() override {
        kvhost::memory::clear_faults();
        host.AF_memm_free_all(tag, "test", __LINE__);
        CleanTest::TearDown();
    }

    struct Compressed {
        HostStatus status = 0;
        std::vector<uint8_t> data;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        uint64_t bytes_held = 0;  // under the tag before the buffer is released
    };

    // `left`: blocks the call may leave under the tag besides the output.
    Compressed compress(const uint8_t* in, int32_t n, size_t left = 0) {
        Compressed c;
        c.length = 0xDEADBEEF;
        c.buffer = reinterpret_cast<uint8_t*>(1);
        c.status = compress_fn(tag, in, n, &c.buffer, &c.length);
        c.bytes_held = kvhost::memory::bytes_outstanding(tag);
        if (c.buffer != nullptr) {
            c.data.assign(c.buffer, c.buffer + c.length);
            host.AF_memm_free(tag, c.buffer, "test", __LINE__);
        }
        EXPECT_EQ(kvhost::memory::blocks_outstanding(tag), left) << "only the output buffer is handed over";
        return c;
    }
    Compressed compress(const std::vector<uint8_t>& in, size_t left = 0) {
        return compress(in.data(), static_cast<int32_t>(in.size()), left);
    }

    KvLzwCompressFn compress_fn = nullptr;
    TiffLzwWriteFn write_fn = nullptr;
    uint32_t tag = 0;
};

TEST_F(TiffLzwEncode, KnownByteVectorsAndEmptyInput) {
    for (const auto& v : tlzw::known_vectors()) {
        auto c = compress(v.in);  // the empty one with no input pointer at all
        EXPECT_EQ(c.status, 0);
        EXPECT_EQ(c.data, v.stream) << v.in.size();
    }
    // Length 0 never touches the input: the stream of codes 256, 257.
    const uint8_t guard = 0x41;
    EXPECT_EQ(compress(&guard, 0).data, (std::vector<uint8_t>{0x80, 0x40, 0x40}));
    EXPECT_TRUE(kvhost::error_records().empty());
    // A negative length (a count of 2 GiB or more) is an error, not an
    // empty stream: nothing is compressed.
    const auto c = compress(&guard, -7);
    EXPECT_NE(c.status, 0);
    EXPECT_EQ(c.length, 0u);
    EXPECT_EQ(kvtest::error_codes(), std::vector<int32_t>{-1011});
}

TEST_F(TiffLzwEncode, SameBytesAsAPlainDictionaryCompressor) {
    // Sizes around the width switches and the clear, and varied content;
    // with three letters the same strings come back after every clear.
    std::vector<std::vector<uint8_t>> inputs;
    for (size_t n : {2u, 255u, 256u, 300u, 511u, 600u, 5000u, 20000u, 70000u}) {
        inputs.push_back(random_bytes(n, static_cast<uint32_t>(n)));
        inputs.push_back(random_bytes(n, static_cast<uint32_t>(n + 1)));
        for (auto& b : inputs.back()) b %= 3;  // a three-letter alphabet
    }
    // Stretches of the varied samples long enough for several table clears:
    // photograph-like, noise (strings of about one byte), a repeating text,
    // and back; the changes between kinds at clears too; shorter pieces end
    // in every state of the table.
    const auto samples = varied_samples();
    const struct { const char* name; size_t from, n; } pieces[] = {
        {"photo", 0, 60000}, {"noise", 0, 30000}, {"text", 0, 25000},
        {"photo", 60000, 40000}, {"noise", 30000, 30000}, {"graphics", 0, 30000}};
    std::vector<uint8_t> mixed;
    for (const auto& p : pieces) {
        const auto& px = std::find_if(samples.begin(), samples.end(), [&](const Sample& s) { return s.name == p.name; })->pixels;
        mixed.insert(mixed.end(), px.begin() + p.from, px.begin() + p.from + p.n);
    }
    for (size_t n : {4000u, 9000u, 17000u, 181000u, 201000u}) inputs.emplace_back(mixed.begin(), mixed.begin() + n);
    inputs.push_back(mixed);
    // Every length of one noise stream puts the last code at every entry
    // count in turn. Reading the last data code, the decoder defines one more
    // entry; at 510, 1022 and 2046 that widens its codes, and at 4093 its
    // table is nearly full but its codes stay 12 bits.
    const auto noise = random_bytes(4300, 17);
    for (size_t n = 1; n <= noise.size(); ++n) inputs.emplace_back(noise.begin(), noise.begin() + n);
    // The shortest noise prefix that compresses to 1 MiB or more (a longer
    // input never gives a shorter stream, so if any prefix compresses to
    // exactly 1 MiB, this one does), incompressible data and highly
    // repetitive data.
    const auto long_noise = random_bytes(800000, 21);
    size_t lo = 600000, hi = 800000;
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        (compress(long_noise.data(), static_cast<int32_t>(mid)).length < (1u << 20) ? lo : hi) = mid;
    }
    inputs.emplace_back(long_noise.begin(), long_noise.begin() + static_cast<ptrdiff_t>(hi));
    inputs.push_back(random_bytes(3 << 20, 1));
    inputs.push_back(std::vector<uint8_t>(6 << 20, 0x5A));

    std::set<uint32_t> endings;
    bool exactly_one_mib = false;
    for (const auto& in : inputs) {
        uint32_t final_next = 0;
        const auto want = tlzw::reference_compress(in, nullptr, &final_next);
        const auto c = compress(in);
        ASSERT_EQ(c.status, 0);
        ASSERT_EQ(c.data, want) << "length " << in.size();
        // The buffer grows a MiB at a time, as soon as it is full.
        EXPECT_EQ(c.bytes_held, (c.data.size() / (1 << 20) + 1) * (1 << 20)) << in.size();
        exactly_one_mib |= c.data.size() == 1u << 20;
        // A decoder given room to spare (ours, and near the widening edges
        // libtiff's and the application API's) must stop at the end code and
        // not run on into bogus codes.
        ASSERT_EQ(tlzw::decode(c.data, static_cast<int32_t>(in.size() + 4096)).out, in) << "length " << in.size();
        endings.insert(final_next);
        bool near_an_edge = false;
        for (uint32_t edge : {511u, 1023u, 2047u, 4093u}) near_an_edge |= final_next + 1 >= edge && final_next <= edge + 1;
        if (!near_an_edge) continue;
        std::vector<uint8_t> back;
        ASSERT_EQ(oracle::libtiff_decode(c.data, static_cast<uint32_t>(in.size()), 1), in) << "length " << in.size();
        ASSERT_EQ(kvhost::lzw::decompress_all(c.data.data(), c.data.size(), 1, &back), 0);
        ASSERT_EQ(back, in) << "length " << in.size();
    }
    for (uint32_t next : {511u, 1023u, 2047u, 4093u, 4094u}) EXPECT_EQ(endings.count(next), 1u) << next;
    EXPECT_TRUE(exactly_one_mib) << "no prefix compresses to exactly 1 MiB";
}

TEST_F(TiffLzwEncode, DecompressToTheEndFindsTheExactLength) {
    // The length is found by probing decodes of other sizes, which give zero
    // bytes past the data: data that itself ends in zeros, data past the
    // first probe, all zeros, and each stream also with bytes after its end
    // code (the end of the data is then not the end of the stream).
    auto zero_tail = random_bytes(300000, 3);
    std::fill(zero_tail.end() - 100000, zero_tail.end(), 0);
    auto plain = random_bytes(200000, 4);
    plain.back() = 7;
    for (const auto& in : {zero_tail, plain, std::vector<uint8_t>(70000, 0)}) {
        const auto packed = compress(in).data;
        for (size_t extra : {0, 5000}) {
            auto stream = packed;
            stream.insert(stream.end(), extra, 0xAB);
            std::vector<uint8_t> back;
            ASSERT_EQ(kvhost::lzw::decompress_all(stream.data(), stream.size(), 1, &back), 0);
            EXPECT_TRUE(back == in) << in.size() << " bytes, " << extra << " after the end code: " << back.size();
        }
    }
    // A writer that cannot take the bytes fails the call.
    const auto packed = compress(plain).data;
    auto stream = kvhost::memory_view_stream(packed.data(), packed.size());
    EXPECT_NE(kvhost::lzw::decompress(stream.get(), 1000, 1, [](const uint8_t*, size_t) { return false; }), 0);
    kvhost::clear_errors();
}

TEST_F(TiffLzwEncode, MemoryShortage) {
    const auto in = random_bytes(2 << 20, 4);
    // The table fails: nothing compressed, the output buffer is handed over.
    // The output buffer fails. Growth fails after the first MiB: no output,
    // and the old block is the host's (this host keeps it under the tag; a
    // host that releases it must not see it freed again).
    const struct { int nth; bool buffer_kept; uint32_t length; size_t left; } cases[] = {
        {1, true, 0, 0}, {2, false, 0, 0}, {3, false, 1u << 20, 1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.nth);
        kvhost::clear_errors();
        kvhost::memory::fail_nth_allocation(k.nth);
        const size_t unknown_before = kvhost::memory::unknown_frees();
        auto c = compress(in, k.left);
        EXPECT_EQ(kvhost::memory::unknown_frees(), unknown_before);
        host.AF_memm_free_all(tag, "test", __LINE__);
        EXPECT_NE(c.status, 0);
        EXPECT_EQ(c.buffer != nullptr, k.buffer_kept);
        EXPECT_EQ(c.length, k.length);
        EXPECT_EQ(kvtest::error_codes(), std::vector<int32_t>{-1000});
        EXPECT_EQ(kvhost::error_records()[0].module, "Common/Components/LZW/tiflzw");
    }
}

TEST_F(TiffLzwEncode, WriteToAStream) {
    const auto in = random_bytes(5000, 8);
    const auto packed = compress(in).data;
    const uint32_t size = static_cast<uint32_t>(packed.size());
    // A whole write; no count: nothing happens; a failed compression writes
    // nothing and leaves the count alone; a short write is reported through
    // the count only. Nothing is left allocated in any case.
    const struct { const char* what; bool with_count; int fail_nth; int64_t budget; bool ok; uint32_t count; } cases[] = {{"whole", true, 0, -1, true, size},
                 {"no count", false, 0, -1, true, 5000},
                 {"failed compression", true, 1, -1, false, 5000},
                 {"short write", true, 0, 10, true, 10}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        kvhost::clear_errors();
        auto stream = kvhost::memory_stream();
        stream->faults.write_budget = k.budget;
        if (k.fail_nth) kvhost::memory::fail_nth_allocation(k.fail_nth);
        uint32_t count = 5000;
        EXPECT_EQ(write_fn(stream.get(), tag, in.data(), k.with_count ? &count : nullptr) == 0, k.ok);
        EXPECT_EQ(count, k.count);
        const size_t written = k.with_count && k.ok ? k.count : 0;
        EXPECT_EQ(kvhost::memory_stream_bytes(stream.get()), std::vector<uint8_t>(packed.begin(), packed.begin() + written));
        EXPECT_EQ(kvhost::memory::blocks_outstanding(tag), 0u);
    }
}

TEST_F(TiffLzwEncode, StripsDecodeTheSameAsWithLibtiffBothWays) {
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
