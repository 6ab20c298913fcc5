// kvlzw lzw compress|decompress and kvlzw decode --raw, run as a user would.
#include "test_support.h"
#include "tiff_lzw_test_util.h"
#include "tiff_oracle.h"

#include <fstream>

namespace {

using kvtest::ToolRun;

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TEST(TiffLzwTool, CompressAndDecompressBareStreams) {
    const std::string in = kvtest::temp_path("in.bin"), packed = kvtest::temp_path("packed.lzw"),
                      back = kvtest::temp_path("back.bin");
    std::mt19937 rng(5);
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 700 < 350 ? i / 900 : rng() % 4);
    write_file(in, data);

    ToolRun c = kvtest::run_tool("lzw compress " + in + " -o " + packed);
    ASSERT_EQ(c.status, 0) << c.out;
    const auto stream = kvtest::read_file(packed);
    EXPECT_LT(stream.size(), data.size() / 2);
    EXPECT_EQ(oracle::libtiff_decode(stream, 1000, 200), data) << "libtiff reads what the tool wrote";

    // Decoded to the end code, to a given size, and with fill order 2 from
    // the same stream with every byte bit-reversed.
    std::vector<uint8_t> reversed(stream);
    for (auto& b : reversed) b = tlzw::reverse_bits(b);
    write_file(in + ".rev", reversed);
    std::vector<uint8_t> first1000(data.begin(), data.begin() + 1000);
    for (const auto& [args, want] : {std::pair{packed + " -o " + back, &data},
                                     std::pair{packed + " -o " + back + " --size 1000", &first1000},
                                     std::pair{in + ".rev -o " + back + " --fill-order 2", &data}}) {
        ToolRun d = kvtest::run_tool("lzw decompress " + args);
        ASSERT_EQ(d.status, 0) << args << ": " << d.out;
        EXPECT_EQ(kvtest::read_file(back), *want) << args;
    }

    EXPECT_EQ(kvtest::run_tool("lzw squeeze " + in + " -o " + back).status, 2);
    EXPECT_EQ(kvtest::run_tool("lzw compress " + in + " -o " + back + " --size 5").status, 2);
    EXPECT_EQ(kvtest::run_tool("lzw decompress " + in).status, 2);
    EXPECT_EQ(kvtest::run_tool("lzw compress " + kvtest::temp_path("no_such_file") + " -o " + back).status, 1);
}

TEST(TiffLzwTool, DecodeRawRasters) {
    const std::string raw = kvtest::corpus_path("raw/derived/gray8-157x151-align4.raw");
    const std::string out = ::testing::TempDir() + "kvlzw_tool_raw.bin";
    ToolRun r = kvtest::run_tool("decode " + raw + " --raw --width 157 --height 151 --bpp 8 --fill-order 1 --align 4 -o " + out);
    ASSERT_EQ(r.status, 0) << r.out;
    const auto rows = kvtest::read_file(out);
    const auto stored = oracle::libtiff_decode(kvtest::read_file(raw), 160, 151);
    ASSERT_EQ(rows.size(), 157u * 151);
    ASSERT_EQ(stored.size(), 160u * 151);
    for (size_t y = 0; y < 151; ++y)
        ASSERT_TRUE(std::equal(rows.begin() + y * 157, rows.begin() + y * 157 + 157, stored.begin() + y * 160)) << y;

    const std::string png = ::testing::TempDir() + "kvlzw_tool_raw.png";
    ToolRun p = kvtest::run_tool("decode " + kvtest::corpus_path("raw/derived/gray16le-157x151.raw") +
                  " --raw --width 157 --height 151 --bpp 16 --fill-order 1 -o " + png);
    EXPECT_EQ(p.status, 0) << p.out;
    EXPECT_GT(kvtest::read_file(png).size(), 1000u);

    EXPECT_EQ(kvtest::run_tool("decode " + raw + " --raw --height 151 --bpp 8 -o " + out).status, 2) << "no --width";
    EXPECT_EQ(kvtest::run_tool("decode " + raw + " --raw --width 157 --height 151 --bpp 0 -o " + out).status, 2);
    ToolRun huge = kvtest::run_tool("decode " + raw +
                                    " --raw --width 100000 --height 100000 --bpp 16 --max-pixels 10000000000 -o " + out);
    EXPECT_EQ(huge.status, 1);
    EXPECT_NE(huge.out.find("-1007"), std::string::npos) << huge.out;
}

}  // namespace
