// The filter control protocol of the GIF filter (format 14) and the raw LZW
// filter (format 109).
#include "kvhost/image.h"
#include "kvhost/services.h"
#include "test_support.h"

#include <cstring>
#include <tuple>

namespace {

using kvtest::error_codes;
using kvtest::gif_filter;
using kvtest::raw_filter;

class FilterControl : public kvtest::CleanTest {};

template <typename T>
T answer(const kvhost::Filter& filter, int32_t op, void* input = nullptr, T value = T{}) {
    EXPECT_EQ(filter.control(op, input, &value, sizeof value), 0) << "op " << op;
    return value;
}

// What an operation writes into `size` bytes, and the byte after them (0xAA
// where nothing was written).
using Bytes = std::vector<uint8_t>;
Bytes copied(const kvhost::Filter& filter, int32_t op, void* input, uint32_t size) {
    Bytes out(size + 1, 0xAA);
    EXPECT_EQ(filter.control(op, input, out.data(), size), 0) << "op " << op;
    return out;
}

TEST_F(FilterControl, NameAndPatternAreBoundedCopies) {
    EXPECT_EQ(copied(gif_filter(), KV_OP_NAME, nullptr, 2), (Bytes{'G', 'I', 0xAA})) << "not even a terminator";
    EXPECT_EQ(copied(gif_filter(), KV_OP_NAME_ALT, nullptr, 10), (Bytes{'G', 'I', 'F', 0, 0, 0, 0, 0, 0, 0, 0xAA}))
        << "padded with zeros up to the size";

    EXPECT_EQ(gif_filter().file_pattern(), "*.gif");
    EXPECT_EQ(raw_filter().name(), "LZW");
    EXPECT_EQ(raw_filter().file_pattern(), "*.raw");
}

TEST_F(FilterControl, NumbersAndEntryPointsOfBothFilters) {
    struct Expected {
        int32_t op;
        uint32_t gif, raw;
    };
    for (const Expected& e : {Expected{KV_OP_CODE_LIST_COUNT, 1, 1}, Expected{KV_OP_FLAGS, 31, 2},
                              Expected{KV_OP_FORMAT_NUMBER, 14, 109}, Expected{KV_OP_COMMON_NUMBER, 980, 980},
                              Expected{KV_OP_NUMBER_31, 1, 0}, Expected{KV_OP_SETTINGS_SIZE, 12, 32}}) {
        EXPECT_EQ(answer<uint32_t>(gif_filter(), e.op), e.gif) << "GIF op " << e.op;
        EXPECT_EQ(answer<uint32_t>(raw_filter(), e.op), e.raw) << "raw op " << e.op;
    }
    EXPECT_EQ(copied(gif_filter(), KV_OP_CODE_LIST, nullptr, 2), (Bytes{8, 0, 0xAA}));
    EXPECT_EQ(answer<uint32_t>(raw_filter(), KV_OP_CODE_LIST), 8u);
    // Entry points.
    for (int32_t op = KV_OP_SIGNATURE_TEST; op <= 20; ++op) {
        EXPECT_EQ(answer<void*>(gif_filter(), op) != nullptr, op <= KV_OP_PAGE_COUNT) << "GIF op " << op;
        EXPECT_EQ(answer<void*>(raw_filter(), op) != nullptr, op == KV_OP_LOAD) << "raw op " << op;
    }
    EXPECT_EQ(answer<uint32_t>(gif_filter(), KV_OP_NOTHING), 0u);
}

TEST_F(FilterControl, UnknownOperationsRecordTheErrorAndWriteNothing) {
    for (int32_t op : {0, -1, 21, 25, 29, 40, 1000}) {
        for (const kvhost::Filter& filter : {gif_filter(), raw_filter()}) {
            kvhost::clear_errors();
            uint32_t out = 0xDEADBEEF;
            EXPECT_NE(filter.control(op, nullptr, &out, sizeof out), 0) << "op " << op;
            EXPECT_EQ(out, 0xDEADBEEFu);
            ASSERT_EQ(error_codes(), std::vector<int32_t>{-1005});
            EXPECT_FALSE(kvhost::error_records()[0].has_text);
        }
    }
    EXPECT_EQ(kvhost::error_records()[0].module, "Common/Components/Lzw/lzwread");
    kvhost::clear_errors();
    gif_filter().control(22, nullptr, nullptr, 0);
    EXPECT_EQ(kvhost::error_records()[0].module, "Common/Components/LZW/gifwrite");
}

TEST_F(FilterControl, DefaultsFillTheWholeSettingsRecord) {
    GifSettings gif;
    std::memset(&gif, 0x5A, sizeof gif);
    ASSERT_EQ(gif_filter().control(KV_OP_SETTINGS_DEFAULTS, &gif, nullptr, 0), 0);
    EXPECT_EQ(gif.version, 89u);
    EXPECT_EQ(gif.interlace, 0u);
    EXPECT_EQ(gif.reserved, 0u);

    Bytes raw(32, 0x5A);
    ASSERT_EQ(raw_filter().control(KV_OP_SETTINGS_DEFAULTS, raw.data(), nullptr, 0), 0);
    EXPECT_EQ(raw, Bytes(32, 0));
    EXPECT_EQ(gif_filter().control(KV_OP_SETTINGS_DEFAULTS, nullptr, nullptr, 0), 0) << "null record: nothing";
}

TEST_F(FilterControl, EnumerationWritesOnlyWholeSlots) {
    // The count, then one name pointer a slot, as far as whole slots fit.
    for (const auto& [size, written] : {std::pair{24u, 3}, {23u, 2}, {7u, 0}}) {
        SCOPED_TRACE(size);
        uint64_t slots[8];
        std::memset(slots, 0xAB, sizeof slots);
        ASSERT_EQ(gif_filter().control(KV_OP_ATTR_ENUMERATE, nullptr, slots, size), 0);
        const char* names[] = {nullptr, "VERSION", "INTERLACE"};
        for (int i = 1; i < written; ++i) EXPECT_STREQ(reinterpret_cast<const char*>(slots[i]), names[i]);
        if (written > 0) {
            EXPECT_EQ(slots[0], 2u);
        }
        EXPECT_EQ(slots[written], 0xABABABABABABABABull) << "a slot that does not fit is not written";
    }
    std::vector<std::string> names;
    for (const auto& attribute : raw_filter().attributes()) names.push_back(attribute.name);
    EXPECT_EQ(names, (std::vector<std::string>{"WIDTH", "HEIGHT", "BITS_PER_PIXEL", "FILL_ORDER", "ALIGNMENT"}));
}

TEST_F(FilterControl, AttributeGetAndSet) {
    GifSettings gif{87, 0, 0};
    AttributeGetRequest get{&gif, "VERSION", 1};
    AttributeAnswer answer{};
    ASSERT_EQ(gif_filter().control(KV_OP_ATTR_GET, &get, &answer, sizeof answer), 0);
    EXPECT_EQ(answer.type_code, 5u);
    EXPECT_EQ(answer.value_size, 4u);
    EXPECT_EQ(*static_cast<const uint32_t*>(answer.value), 89u) << "the default flag gives the constant default";
    EXPECT_NE(answer.value, &gif.version);

    AttributeSetRequest set{&gif, "INTERLACE", 0x100000001ull};
    ASSERT_EQ(gif_filter().control(KV_OP_ATTR_SET, &set, nullptr, 0), 0);
    get = {&gif, "INTERLACE", 0};
    ASSERT_EQ(gif_filter().control(KV_OP_ATTR_GET, &get, &answer, sizeof answer), 0);
    EXPECT_EQ(answer.value, &gif.interlace);
    EXPECT_EQ(gif.interlace, 1u) << "a 4-byte attribute takes the low 32 bits";
    EXPECT_EQ(answer.type_code, 10u);

    RawSettings raw{};
    set = {&raw, "WIDTH", 0x123456789ull};
    ASSERT_EQ(raw_filter().control(KV_OP_ATTR_SET, &set, nullptr, 0), 0);
    EXPECT_EQ(raw.width, 0x123456789ull) << "an 8-byte attribute takes all 64 bits";
    set = {&raw, "ALIGNMENT", 0x700000004ull};
    ASSERT_EQ(raw_filter().control(KV_OP_ATTR_SET, &set, nullptr, 0), 0);
    EXPECT_EQ(raw.alignment, 4u);
    EXPECT_EQ(raw.unused, 0u);
    get = {&raw, "HEIGHT", 0};
    ASSERT_EQ(raw_filter().control(KV_OP_ATTR_GET, &get, &answer, sizeof answer), 0);
    EXPECT_EQ(answer.type_code, 12u);
    EXPECT_EQ(answer.value_size, 8u);
    EXPECT_EQ(answer.value, &raw.height);
}

TEST_F(FilterControl, UnknownAttributeNamesAreRefused) {
    // -512 with the filter's name (GIF) or the requested name (raw); the
    // settings record stays unchanged.
    GifSettings gif{89, 0, 0};
    RawSettings raw{};
    AttributeGetRequest gif_get{&gif, "version", 0};
    AttributeSetRequest gif_set{&gif, "VERSIONS", 87}, raw_set{&raw, "DEPTH", 8};
    AttributeAnswer answer{};
    auto expect_refused = [&](const kvhost::Filter& filter, int32_t op, void* request, const char* text) {
        SCOPED_TRACE(::testing::Message() << "op " << op << ": " << (text != nullptr ? text : "no request"));
        kvhost::clear_errors();
        const bool get = op == KV_OP_ATTR_GET;
        EXPECT_NE(filter.control(op, request, get ? &answer : nullptr, get ? sizeof answer : 0), 0);
        ASSERT_EQ(error_codes(), std::vector<int32_t>{-512});
        if (text != nullptr) {
            EXPECT_EQ(kvhost::error_records()[0].text, text);
        }
    };
    expect_refused(gif_filter(), KV_OP_ATTR_GET, &gif_get, "GIF");
    expect_refused(gif_filter(), KV_OP_ATTR_SET, &gif_set, "GIF");
    expect_refused(raw_filter(), KV_OP_ATTR_SET, &raw_set, "DEPTH");
    expect_refused(raw_filter(), KV_OP_ATTR_GET, nullptr, nullptr);
    EXPECT_EQ(gif.version, 89u);
    RawSettings untouched{};
    EXPECT_EQ(std::memcmp(&raw, &untouched, sizeof raw), 0);
}

TEST_F(FilterControl, SignatureTest) {
    auto test = reinterpret_cast<SignatureTestFn>(gif_filter().entry(KV_OP_SIGNATURE_TEST));
    ASSERT_NE(test, nullptr);
    const std::tuple<const char*, uint32_t, int32_t> cases[] = {
        {"GIF89", 5, 0},  {"GIF89a", 6, 1}, {"GIF87a\x01\x02", 8, 1}, {"GIF88a", 6, 0},
        {"gif89a", 6, 0}, {"GIF89b", 6, 0}, {"\x89PNG\r\n", 6, 0},    {nullptr, 6, 0}};
    for (const auto& [bytes, length, accepted] : cases)
        EXPECT_EQ(test(nullptr, reinterpret_cast<const uint8_t*>(bytes), length), accepted) << (bytes ? bytes : "null");
}

TEST_F(FilterControl, SaveCodeListsDependOnTheImageDepth) {
    for (uint32_t depth : {1u, 4u, 8u, 24u}) {
        SCOPED_TRACE(depth);
        HostDibInfo* dib = nullptr;
        ASSERT_EQ(kvhost::service_table().DIB_info_create_cnvt_res(&dib, 4, 4, depth, 0, nullptr), 0);
        const bool listed = depth != 24;
        for (int32_t op : {KV_OP_SAVE_CODE_LIST_COUNT, KV_OP_SAVE_CODE_LIST_COUNT_2})
            EXPECT_EQ(answer<uint32_t>(gif_filter(), op, dib, 99), listed ? 1u : 0u);
        for (int32_t op : {KV_OP_SAVE_CODE_LIST, KV_OP_SAVE_CODE_LIST_2})
            EXPECT_EQ(copied(gif_filter(), op, dib, 2), (listed ? Bytes{8, 0, 0xAA} : Bytes(3, 0xAA)));
        EXPECT_EQ(answer<uint32_t>(raw_filter(), KV_OP_SAVE_CODE_LIST_COUNT, dib, 99), 0u);
        EXPECT_EQ(copied(raw_filter(), KV_OP_SAVE_CODE_LIST, dib, 4), Bytes(5, 0xAA));
        kvhost::service_table().DIB_info_delete(dib);
    }
    // No image description: nothing written.
    EXPECT_EQ(answer<uint32_t>(gif_filter(), KV_OP_SAVE_CODE_LIST_COUNT, nullptr, 99), 99u);
    EXPECT_EQ(answer<uint32_t>(raw_filter(), KV_OP_SAVE_CODE_LIST_COUNT_2, nullptr, 99), 99u);
    EXPECT_TRUE(kvhost::error_records().empty());
}

}  // namespace
