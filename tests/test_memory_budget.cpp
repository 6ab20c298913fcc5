// The memory budget of one operation: past it the component's out-of-memory
// paths run and the host stops keeping copies, with one error record, nothing
// left allocated and nothing left counted against the thread.
#include "gif_test_files.h"
#include "kvhost/gif.h"
#include "kvhost/lzw.h"
#include "test_support.h"

#include <algorithm>

namespace {

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
