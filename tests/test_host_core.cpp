// The host's memory manager, error records, streams and delivered rows, and
// the memory budget of one operation: past it the component's out-of-memory
// paths run and the host stops keeping copies, with one error record, nothing
// left allocated and nothing left counted against the thread.
#include "gif_test_files.h"
#include "kvhost/gif.h"
#include "kvhost/lzw.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

const HostServiceTable& host = kvhost::service_table();

class HostCore : public kvtest::CleanTest {};

TEST_F(HostCore, MemoryBooksFollowEveryTag) {
    const uint32_t a = host.AF_memm_unique_tag_get("test", __LINE__);
    const uint32_t b = host.AF_memm_unique_tag_get("test", __LINE__);
    EXPECT_NE(a, b);
    void* a1 = host.AF_memm_alloc(a, 100, "test", __LINE__);
    void* a2 = host.AF_memm_alloc(a, 28, "test", __LINE__);
    void* b1 = host.AF_memm_alloc(b, 7, "test", __LINE__);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(kvhost::memory::blocks_outstanding(a), 2u);
    EXPECT_EQ(kvhost::memory::bytes_outstanding(a), 128u);

    std::memset(a1, 0x11, 100);
    kvhost::memory::fail_allocations_of_size(4000);
    EXPECT_EQ(host.AF_memm_realloc(a, a1, 4000, "test", __LINE__), nullptr);
    kvhost::memory::clear_faults();
    EXPECT_EQ(kvhost::memory::bytes_outstanding(a), 128u) << "a failed realloc keeps the old block";
    void* grown = host.AF_memm_realloc(a, a1, 4000, "test", __LINE__);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(grown)[99], 0x11) << "realloc keeps the data";
    EXPECT_EQ(kvhost::memory::bytes_outstanding(a), 4028u);

    EXPECT_EQ(host.AF_memm_free(a, a2, "test", __LINE__), 0);
    EXPECT_EQ(kvhost::memory::blocks_outstanding(a), 1u);
    EXPECT_EQ(host.AF_memm_free_all(a, "test", __LINE__), 0);
    EXPECT_EQ(kvhost::memory::blocks_outstanding(a), 0u);
    EXPECT_EQ(kvhost::memory::blocks_outstanding(b), 1u) << "free_all touches only its own tag";

    // Thousands of blocks (the books grow, and removals reorder them),
    // reallocated and freed in a scrambled order: each is found once.
    std::vector<void*> many;
    for (int i = 0; i < 3000; ++i) many.push_back(host.AF_memm_alloc(b, 1 + i % 50, "test", __LINE__));
    for (int i = 0; i < 500; ++i) host.AF_memm_alloc(a, 16, "test", __LINE__);
    std::shuffle(many.begin(), many.end(), std::mt19937(5));
    for (size_t i = 0; i < many.size(); ++i) {
        if (i % 3 == 0) many[i] = host.AF_memm_realloc(b, many[i], 64 + i % 100, "test", __LINE__);
        ASSERT_EQ(host.AF_memm_free(b, many[i], "test", __LINE__), 0) << i;
        if (i == 1000) {
            EXPECT_EQ(host.AF_memm_free_all(a, "test", __LINE__), 0);
        }
    }
    EXPECT_EQ(kvhost::memory::blocks_outstanding(b), 1u);
    EXPECT_EQ(kvhost::memory::blocks_outstanding(a), 0u);
    EXPECT_TRUE(kvhost::error_records().empty());

    // A free of a block the manager never gave out is detected.
    const size_t unknown_before = kvhost::memory::unknown_frees();
    int on_stack = 0;
    EXPECT_NE(host.AF_memm_free(a, &on_stack, "test", __LINE__), 0);
    EXPECT_EQ(kvhost::memory::unknown_frees(), unknown_before + 1);
    EXPECT_EQ(kvtest::error_codes(), std::vector<int32_t>{kvhost::host_error::kUnknownBlock});
    host.AF_memm_free_all(b, "test", __LINE__);
}

TEST_F(HostCore, ErrorCheckReportsUntilCleared) {
    EXPECT_EQ(host.AF_error_check(), 0);
    EXPECT_NE(host.AF_err_record_set("m", 7, -2005, 0, 42, 0, "text"), 0);
    host.AF_err_record_set("m", 8, -2100, 0, 0, 0, nullptr);
    EXPECT_EQ(host.AF_error_check(), -2005) << "the first error is the status";
    const auto records = kvhost::error_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].details[1], 42);
    EXPECT_EQ(kvhost::describe(records[0]),
              "error -2005 (GIF header short, or page not found) at m:7 [0, 42, 0]: text");
    EXPECT_FALSE(records[1].has_text);
    host.AF_error_clear();
    EXPECT_EQ(host.AF_error_check(), 0);
}

TEST_F(HostCore, MemoryStreamReadsWritesSeeksAndFaults) {
    auto stream = kvhost::memory_stream({0x01, 0x02, 0x03, 0x04, 0x05});
    uint16_t word = 0;
    EXPECT_EQ(host.IO_word_read(stream.get(), &word), 2);
    EXPECT_EQ(word, 0x0201);
    host.IO_byte_order_set(stream.get(), 1);
    EXPECT_EQ(host.IO_byte_order_get(stream.get()), 1);
    EXPECT_EQ(host.IO_word_read(stream.get(), &word), 2);
    EXPECT_EQ(word, 0x0304);
    EXPECT_EQ(host.IO_word_read(stream.get(), &word), 1) << "only one byte was left";
    EXPECT_EQ(host.IO_tell(stream.get()), 5);
    uint8_t byte = 0;
    EXPECT_EQ(host.IO_byte_read(stream.get(), &byte), 0);

    EXPECT_EQ(host.IO_seek(stream.get(), -2, 1), 3);
    EXPECT_EQ(host.IO_seek(stream.get(), -4, 1), -1) << "before the start";
    EXPECT_EQ(host.IO_tell(stream.get()), 3);
    EXPECT_EQ(host.IO_word_write(stream.get(), 0xABCD), 2);
    EXPECT_EQ(host.IO_byte_write(stream.get(), 0xEF), 1);
    host.IO_byte_order_set(stream.get(), 0);
    EXPECT_EQ(host.IO_word_write(stream.get(), 0x1234), 2);
    EXPECT_EQ(kvhost::memory_stream_bytes(stream.get()),
              (std::vector<uint8_t>{0x01, 0x02, 0x03, 0xAB, 0xCD, 0xEF, 0x34, 0x12}));

    // Injected faults cut transfers short.
    stream = kvhost::memory_stream(std::vector<uint8_t>(100, 7));
    stream->faults.read_budget = 10;
    uint8_t buffer[64];
    EXPECT_EQ(host.IO_read(stream.get(), buffer, 8), 8u);
    EXPECT_EQ(host.IO_read(stream.get(), buffer, 8), 2u);
    EXPECT_EQ(host.IO_read(stream.get(), buffer, 8), 0u);
    stream->faults.write_budget = 3;
    EXPECT_EQ(host.IO_write(stream.get(), buffer, 8), 3u);
    EXPECT_EQ(host.IO_byte_write(stream.get(), 1), 0);
    stream->faults.fail_seeks = true;
    EXPECT_LT(host.IO_seek(stream.get(), 0, 0), 0);
}

TEST_F(HostCore, FileStreamRoundTrip) {
    const std::string path = kvtest::temp_path("stream.bin");
    std::string error;
    {
        auto out = kvhost::file_stream(path, kvhost::FileMode::kWrite, &error);
        ASSERT_NE(out, nullptr) << error;
        EXPECT_EQ(host.IO_write(out.get(), "GIF89a", 6), 6u);
        EXPECT_EQ(host.IO_seek(out.get(), 3, 0), 3);
        EXPECT_EQ(host.IO_write(out.get(), "87", 2), 2u);
    }
    auto in = kvhost::file_stream(path, kvhost::FileMode::kRead, &error);
    ASSERT_NE(in, nullptr) << error;
    char text[8] = {};
    EXPECT_EQ(host.IO_read(in.get(), text, 8), 6u);
    EXPECT_STREQ(text, "GIF87a");
    EXPECT_EQ(host.IO_seek(in.get(), -3, 1), 3);
    EXPECT_EQ(host.IO_read(in.get(), text, 1), 1u);
    EXPECT_EQ(text[0], '8');
    EXPECT_EQ(kvhost::file_stream("/nonexistent/x.gif", kvhost::FileMode::kRead, &error), nullptr);
    EXPECT_NE(error.find("/nonexistent/x.gif"), std::string::npos);

    // Reading from the end and past it.
    EXPECT_EQ(host.IO_seek(in.get(), 0, 2), 6);
    EXPECT_EQ(host.IO_read(in.get(), text, 1), 0u);
    EXPECT_EQ(host.IO_seek(in.get(), 10, 0), 10);
    EXPECT_EQ(host.IO_read(in.get(), text, 1), 0u);

    auto named = kvhost::named_stream(path);
    EXPECT_EQ(host.IO_open(named.get(), path.c_str(), 0x80000000u), 0);
    EXPECT_EQ(host.IO_read(named.get(), text, 3), 3u);
    EXPECT_EQ(host.IO_close(named.get()), 0);
    EXPECT_EQ(host.IO_read(named.get(), text, 3), 0u) << "closed";

    // An empty file, and a file that is not a regular one.
    { kvhost::file_stream(path, kvhost::FileMode::kWrite, &error); }
    auto empty = kvhost::file_stream(path, kvhost::FileMode::kRead, &error);
    ASSERT_NE(empty, nullptr) << error;
    EXPECT_EQ(host.IO_read(empty.get(), text, 1), 0u);
    EXPECT_EQ(host.IO_seek(empty.get(), 0, 2), 0);
    auto device = kvhost::file_stream("/dev/zero", kvhost::FileMode::kRead, &error);
    ASSERT_NE(device, nullptr) << error;
    text[0] = 1;
    EXPECT_EQ(host.IO_read(device.get(), text, 4), 4u);
    EXPECT_EQ(text[0], 0);
    std::remove(path.c_str());
}

// (Row sizes and palettes of image descriptions: every load's rows; page
// attributes: the GIF reader's and writer's tests.)
TEST_F(HostCore, DeliveredRowsLandInTheStreamsImage) {
    auto stream = kvhost::memory_stream();
    HostDibInfo* dib = nullptr;
    ASSERT_EQ(host.DIB_info_create_cnvt_res(&dib, 3, 2, 8, 0, nullptr), 0);
    ASSERT_EQ(host.IO_DIB_create_ex(stream.get(), dib), 0);
    const uint8_t row[4] = {7, 8, 9, 10};
    EXPECT_EQ(host.IO_raster_set(stream.get(), row, 1, 4), 0) << "a longer row is cut to the row size";
    EXPECT_NE(host.IO_raster_set(stream.get(), row, 2, 3), 0) << "past the last row";
    EXPECT_NE(host.IO_raster_set(stream.get(), row, -1, 3), 0);
    const auto& image = *stream->sink.image;
    EXPECT_EQ(std::vector<uint8_t>(image.pixels.begin(), image.pixels.end()),
              (std::vector<uint8_t>{0, 0, 0, 7, 8, 9}));
    EXPECT_EQ(image.row_order, std::vector<int64_t>{1});

    stream->sink.max_image_bytes = 5;
    EXPECT_NE(host.IO_DIB_create_ex(stream.get(), dib), 0) << "larger than the host accepts";
    host.DIB_info_delete(dib);
}

using kvhost::memory::operation_bytes;
using kvhost::memory::set_operation_limit;

class MemoryBudget : public kvtest::CleanTest {
protected:
    void TearDown() override {
        set_operation_limit(kvhost::memory::kDefaultOperationLimit);
        CleanTest::TearDown();
    }
};

bool has_code(const std::vector<kvhost::ErrorRecord>& errors, int32_t code) {
    const std::vector<int32_t> found = kvtest::codes(errors);
    return std::find(found.begin(), found.end(), code) != found.end();
}

TEST_F(MemoryBudget, LoadsAndCodingPastTheLimitFailCleanly) {
    const std::vector<uint8_t> gif = kvtest::read_file(std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif");
    const std::vector<uint8_t> data = giftest::pattern(200000, 7);
    // Limits that stop the component's own buffers (-1000) and ones that
    // stop the host's copies of what the load reports (-9007).
    for (uint64_t limit : {uint64_t{512}, uint64_t{4} << 10, uint64_t{8} << 10, uint64_t{12} << 10, uint64_t{16} << 10, uint64_t{24} << 10, uint64_t{32} << 10}) {
        SCOPED_TRACE(limit);
        set_operation_limit(limit);
        const auto page = kvhost::gif::load_page(kvhost::gif::Source::memory(gif.data(), gif.size()), 1);
        EXPECT_FALSE(page.ok()) << ::testing::PrintToString(kvtest::codes(page.errors));
        EXPECT_TRUE(has_code(page.errors, -1000) || has_code(page.errors, kvhost::host_error::kNoMemory))
            << ::testing::PrintToString(kvtest::codes(page.errors));
        EXPECT_EQ(operation_bytes(), 0u);

        std::vector<uint8_t> out;
        EXPECT_EQ(kvhost::lzw::compress(data.data(), data.size(), &out), -1000);
        kvhost::clear_errors();
        EXPECT_NE(kvhost::lzw::decompress(data.data(), data.size(), 100000, 1, &out), 0);
        kvhost::clear_errors();
        EXPECT_EQ(operation_bytes(), 0u);
    }
    set_operation_limit(kvhost::memory::kDefaultOperationLimit);
    EXPECT_TRUE(kvhost::gif::load_page(kvhost::gif::Source::memory(gif.data(), gif.size()), 1).ok());
}

TEST_F(MemoryBudget, AMillionExtensionsStopAtTheBudgetWithOneHostRecord) {
    giftest::GifFile file = giftest::GifFile::screen(1, 1);
    for (int i = 0; i < 1000000; ++i) file.control(0, 0, 0);
    file.image_of(1, 1, {0}, 2).trailer();
    set_operation_limit(uint64_t{64} << 20);
    const auto page = kvhost::gif::load_page(kvhost::gif::Source::memory(file.bytes.data(), file.bytes.size()), 1);
    const std::vector<int32_t> found = kvtest::codes(page.errors);
    EXPECT_EQ(std::count(found.begin(), found.end(), kvhost::host_error::kNoMemory), 1)
        << ::testing::PrintToString(found);
    EXPECT_LT(page.tags.entries.size(), 1000000u);
    EXPECT_EQ(operation_bytes(), 0u);
}

}  // namespace
