// Several threads loading different GIF and TIFF files through the host at
// once get the same pixels and records as one thread alone: each thread sees
// only its own error records (run under ThreadSanitizer by scripts/tsan.sh).
#include "kvhost/gif.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"
#include "test_support.h"

#include <thread>

namespace {

struct Outcome {
    HostStatus status = 0;
    std::vector<uint8_t> pixels;
    std::vector<int32_t> codes;
};

Outcome load(const std::string& path) {
    Outcome outcome;
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".gif") == 0) {
        const kvhost::gif::PageResult r = kvhost::gif::load_page(kvhost::gif::Source::file(path), 1);
        outcome.status = r.status;
        outcome.codes = kvtest::codes(r.errors);
        if (r.image != nullptr) outcome.pixels = r.image->pixels;
        return outcome;
    }
    std::string error;
    auto stream = kvhost::file_stream(path, kvhost::FileMode::kRead, &error);
    kvhost::clear_errors();
    outcome.status = kvhost::tiff_load(stream.get(), 0);
    outcome.codes = kvtest::error_codes();
    kvhost::clear_errors();
    if (stream->sink.image != nullptr) outcome.pixels = stream->sink.image->pixels;
    return outcome;
}

TEST(HostThreads, ConcurrentGifAndTiffLoadsMatchLoadsAlone) {
    KVTEST_NEEDS_CORPUS();
    kvtest::component();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    const std::vector<std::string> files = {
        std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif",
        kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif"),
        kvtest::corpus_path("gif/giflib/welcome2.gif"),
        kvtest::corpus_path("tiff/derived/gray-4b-lzw.tif"),
        kvtest::corpus_path("tiff/derived/cmyk-8b-contig-lzw.tif"),
        kvtest::corpus_path("tiff/derived/cmyk-16b-planar-lzw-pred2.tif"),
        kvtest::corpus_path("tiff/libtiff/palette-1c-8b.tiff"),  // refused: an error record and no pixels
    };
    std::vector<Outcome> alone;
    for (const std::string& file : files) alone.push_back(load(file));

    constexpr int kRounds = 4;
    std::vector<std::vector<Outcome>> together(files.size(), std::vector<Outcome>(kRounds));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < files.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) together[i][round] = load(files[i]);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_NE(alone[i].pixels.empty(), alone[i].codes.empty()) << files[i] << ": pixels or an error";
        for (const Outcome& outcome : together[i]) {
            EXPECT_EQ(outcome.status, alone[i].status) << files[i];
            EXPECT_EQ(outcome.codes, alone[i].codes) << files[i];
            EXPECT_TRUE(outcome.pixels == alone[i].pixels) << files[i];
        }
    }
    EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before);
}

}  // namespace
