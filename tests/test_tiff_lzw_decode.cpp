// The TIFF LZW decode routine, called directly: the module does not export
// it, so it is compiled into the test binary over the host's service table.
#include "../component/tiff/tif_lzw_decode.cpp"

#include "kvhost/errors.h"
#include "tiff_lzw_test_util.h"

namespace kv {
HostServiceTable g_host;
}

namespace {

using tlzw::decode;
using tlzw::pack_codes;

// Decodes with the reference and with ours (tables left dirty with `fill`):
// the same bytes, and the stream left at the same place.
void expect_same_as_reference(const std::vector<uint8_t>& data, int32_t out_size, uint16_t fill_order = 1,
                              uint8_t fill = 0xA5) {
    const auto want = tlzw::reference_decode(data, out_size, fill_order);
    const auto got = decode(data, out_size, fill_order, fill);
    ASSERT_EQ(got.out, want.out);
    if (out_size > 0) { EXPECT_EQ(got.position, want.position); }
}

class TiffLzwDecode : public ::testing::Test {
protected:
    void SetUp() override { kvhost::clear_errors(); }
    void TearDown() override {
        EXPECT_TRUE(kvhost::error_records().empty()) << "the decoder records no error of its own";
        kvhost::clear_errors();
    }
};

TEST_F(TiffLzwDecode, ShortCodeSequencesAndKnownByteVectors) {
    for (const auto& v : tlzw::known_vectors()) EXPECT_EQ(decode(v.stream, 100).out, v.in);
    const struct { const char* what; std::vector<uint32_t> codes; bool old_style; std::vector<uint8_t> out; } cases[] = {
        {"old-style, a defined code", {256, 65, 66, 258, 257}, true, {65, 66, 65, 66}},
        {"old-style, a code read one step before it is defined", {256, 65, 258, 257}, true, {65, 65, 65}},
        {"a stream that does not start with a clear code", {72, 73, 257}, false, {72, 73}},
        // 300 reads as the next entry (66 66); 260 then leads to the undefined 300.
        {"a code not defined at all ends decoding before its output", {256, 65, 66, 300, 65, 260, 66, 257}, false,
         {65, 66, 66, 66, 65}},
        {"a first code above 255 gives its low byte; entry 258 built on it is a dead end", {256, 300, 65, 258, 66, 257},
         false, {44, 65}},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(pack_codes(c.codes, c.old_style), 100).out, c.out) << c.what;
}

TEST_F(TiffLzwDecode, WidthSwitchPointsOfBothStyles) {
    // Only byte codes, so the output is the codes themselves; any width read
    // wrongly scrambles everything after it. The styles switch one code
    // apart, so a decoder that read both alike would fail one of them.
    for (bool old_style : {false, true}) {
        std::vector<uint32_t> codes{256};
        std::vector<uint8_t> expect;
        for (int i = 0; i < 5000; ++i) {
            codes.push_back((i * 37 + 11) % 256);
            expect.push_back(static_cast<uint8_t>(codes.back()));
        }
        codes.insert(codes.end(), {256, 7, 8, 257});  // a clear read at 12 bits, then 9-bit codes
        expect.insert(expect.end(), {7, 8});
        const auto data = pack_codes(codes, old_style);
        auto d = decode(data, 1 << 20);
        EXPECT_EQ(d.out, expect) << (old_style ? "old" : "new");
        EXPECT_EQ(d.position, static_cast<int64_t>(data.size()));

    }
}

TEST_F(TiffLzwDecode, OutputSizeCountAndStreamPosition) {
    // Codes for A B AB ABA (260 read as it is being defined), then the end code, then trailing bytes.
    tlzw::BitWriter w;
    for (uint32_t c : {256u, 65u, 66u, 258u, 260u}) w.put(c, 9);
    const uint64_t bits_before_end = w.bit_count();
    w.put(257, 9);
    auto data = w.bytes();
    const size_t end_bytes = data.size(), before_end = (bits_before_end + 7) / 8;
    data.insert(data.end(), {1, 2, 3, 4, 5});
    const std::vector<uint8_t> abab{65, 66, 65, 66, 65, 66, 65};
    const auto open = pack_codes({256, 65, 66, 258}, false);
    std::vector<uint8_t> framed{9, 9, 9};
    const auto body = pack_codes({256, 65, 258, 257}, false);
    framed.insert(framed.end(), body.begin(), body.end());
    framed.push_back(0xFF);
    const struct { const char* what; std::vector<uint8_t> data; int32_t out_size; int64_t start; std::vector<uint8_t> out; size_t position; } rows[] = {
        {"stops just after the byte holding the end code's last bit", data, 100, 0, abab, end_bytes},
        {"a buffer that fills exactly never reads the end code", data, 7, 0, abab, before_end},
        {"a smaller buffer cuts the last string", data, 6, 0, {65, 66, 65, 66, 65, 66}, before_end},
        {"out size 0: nothing written, count 0, stream untouched", data, 0, 3, {}, 3},
        {"out size below 0: the same", data, -5, 3, {}, 3},
        {"no end code: everything up to the last whole code", open, 100, 0, {65, 66, 65, 66}, open.size()},
        {"from the middle of a stream: left after the data", framed, 100, 3, {65, 65, 65}, 3 + body.size()},
        {"an empty stream keeps its position", {}, 10, 0, {}, 0},
        {"a byte too few for a code is read and left behind", {0x41}, 10, 0, {}, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const auto d = decode(r.data, r.out_size, 1, 0xA5, r.start);
        EXPECT_EQ(d.out, r.out);
        EXPECT_EQ(d.count, r.out.size());
        EXPECT_EQ(d.position, static_cast<int64_t>(r.position));
    }
}

TEST_F(TiffLzwDecode, MatchesTheReferenceOnValidAndCorruptStreams) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 400; ++round) {
        const bool old_style = round % 3 == 2;
        std::vector<uint32_t> codes{256};
        const int count = 1 + static_cast<int>(rng() % (round % 10 == 0 ? 12000 : 600));
        tlzw::TableGrowth t;
        for (int i = 0; i < count; ++i) {
            const uint32_t pick = rng() % 1000;
            uint32_t c;
            if (pick < 3) c = 256;
            else if (pick < 5 && round % 2 == 0) c = rng() % 4096 % (1u << tlzw::width_for_next(t.next, old_style));
            // Some rounds are mostly byte codes, as compressed noise is.
            else if (!t.have_prev || pick < (round % 8 == 6 ? 950u : 300u)) c = rng() % (round % 4 == 0 ? 4 : 256);
            else c = 258 + rng() % (t.next - 258 + 1);  // any defined code, or the next one
            if (c == 257) c = 65;
            codes.push_back(c);
            t.step(c);
        }
        if (round % 5 != 0) codes.push_back(257);
        auto data = pack_codes(codes, old_style);
        if (round % 7 == 3) data.resize(data.size() * 2 / 3);
        if (round % 11 == 5)
            for (int k = 0; k < 4; ++k) data[rng() % data.size()] ^= static_cast<uint8_t>(1 << (rng() % 8));
        const uint16_t fill = round % 4 == 1 ? 2 : 1;
        const int32_t out_size = round % 6 == 4 ? static_cast<int32_t>(rng() % 3000) : 1 << 22;
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(expect_same_as_reference(data, out_size, fill, static_cast<uint8_t>(rng())));
    }
    // Pure noise, both styles by chance, with the tables left dirty.
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> noise(1 + rng() % 20000);
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        if (round % 2) noise[0] = 0, noise[1] = 1;
        SCOPED_TRACE("noise round " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(expect_same_as_reference(noise, 1 << 22, 1, static_cast<uint8_t>(round)));
    }
}

TEST_F(TiffLzwDecode, FullTablesMatchTheReference) {
    // Fill the table, then keep using entry 4095 while it is redefined on
    // every code, including as its own prefix: the walk loops and is cut.
    std::vector<uint32_t> overlong{256, 0};
    for (uint32_t c = 258; c < 4095; ++c) overlong.push_back(c);  // strings of zeros, each one longer
    for (int i = 0; i < 30; ++i) overlong.push_back(i % 3 == 0 ? 4095 : (i % 3 == 1 ? 4094 : 5));
    // Noise-like data (nearly all byte codes) that fills the table, then
    // codes that redefine the last entry on top of the two-byte entries and
    // walk through them, and undefined codes after a clear.
    std::mt19937 rng(4242);
    std::vector<uint32_t> bytewise{256};
    for (uint32_t i = 0; i < 3838 + 1; ++i) bytewise.push_back(rng() % 256);  // next reaches 4095
    for (uint32_t c : {4094u, 4095u, 4095u, 77u, 4095u, 3000u, 4095u, 1000u, 4095u, 4095u, 256u}) bytewise.push_back(c);
    for (uint32_t i = 0; i < 600; ++i) bytewise.push_back(rng() % 256);
    bytewise.push_back(700);  // above the next entry: read as the next entry
    for (auto [codes, least] : {std::pair{&overlong, size_t{7000000}}, std::pair{&bytewise, size_t{4400}}}) {
        codes->push_back(257);
        const auto data = pack_codes(*codes, false);
        EXPECT_GT(tlzw::reference_decode(data, 1 << 25, 1).out.size(), least);
        expect_same_as_reference(data, 1 << 25);
    }
}

}  // namespace
