// Animated GIF frames through the registered multi-page source: delays and
// times, composition by the disposal rules, seeking, properties, the errors
// and exceptions of every operation, and failures of the heap and of every
// host image service.
#include "gif_frames_test_util.h"

#include "kvhost/memory.h"
#include "kvhost/recording.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"

#include <array>
#include <cstring>
#include <functional>

namespace {

using giftest::frame;
using giftest::FrameSpec;
using giftest::GifFile;
using kvhost::gif_frames::Animation;

constexpr uint64_t kUnitsPerMs = 10000;

GifFile three_frames(uint16_t d0, uint16_t d1, uint16_t d2) {
    return giftest::animation(2, 2, 4,
                              {frame(0, 0, 2, 2, 1, -1, {0, 1, 2, 3}, d0), frame(0, 0, 2, 2, 1, -1, {1, 1, 1, 1}, d1),
                               frame(0, 0, 2, 2, 1, -1, {2, 2, 2, 2}, d2)});
}

class GifFramesTest : public giftest::GifFramesTest {};

// Small canvases with the expected indices written out by hand.
TEST_F(GifFramesTest, FramesAreComposedByTheDisposalRules) {
    struct Case {
        const char* what;
        uint16_t width, height;
        std::vector<FrameSpec> frames;
        std::vector<uint8_t> last;  // the last frame's expected canvas
        uint8_t background = 0;
    };
    const std::vector<Case> cases = {
        {"disposal 2 fills exactly the previous rectangle with its transparent index",
         3, 2,
         {frame(0, 0, 3, 2, 1, -1, {1, 1, 1, 1, 1, 1}), frame(1, 0, 2, 1, 2, 3, {2, 2}), frame(0, 1, 1, 1, 1, -1, {0})},
         {1, 3, 3, 0, 1, 1}},
        {"disposal 2 after a frame without transparency fills with the first frame's transparent index",
         2, 2,
         {frame(0, 0, 2, 2, 1, 3, {1, 1, 1, 1}), frame(0, 0, 1, 1, 2, -1, {2}), frame(1, 1, 1, 1, 1, -1, {0})},
         {3, 1, 1, 0}},
        {"disposal 2 without any transparent colour fills with the background",
         2, 1, {frame(0, 0, 2, 1, 1, -1, {1, 1}), frame(0, 0, 1, 1, 2, -1, {2}), frame(1, 0, 1, 1, 1, -1, {0})},
         {2, 0}, 2},
        {"disposal 3 restores the canvas from before the frame",
         2, 2,
         {frame(0, 0, 2, 2, 1, -1, {1, 2, 3, 1}), frame(0, 0, 2, 2, 3, -1, {0, 0, 0, 0}), frame(1, 1, 1, 1, 1, -1, {0})},
         {1, 2, 3, 0}},
        {"a transparent frame leaves the canvas where its pixels are the transparent index",
         2, 2, {frame(0, 0, 2, 2, 1, -1, {1, 1, 1, 1}), frame(0, 0, 2, 2, 1, 2, {2, 3, 0, 2})}, {1, 3, 0, 1}},
        {"frames are clipped at the right and bottom edges with their own rows, opaque",
         3, 2, {frame(0, 0, 3, 2, 1, -1, {0, 0, 0, 0, 0, 0}), frame(1, 1, 3, 2, 1, -1, {1, 2, 3, 2, 3, 1})},
         {0, 0, 0, 0, 1, 2}},
        {"and transparent",
         3, 3,
         {frame(0, 0, 3, 3, 1, -1, std::vector<uint8_t>(9, 0)), frame(1, 0, 5, 2, 1, 1, {2, 1, 3, 3, 3, 3, 2, 1, 1, 1})},
         {0, 2, 0, 0, 3, 2, 0, 0, 0}},
        {"a frame wholly outside the screen, and an empty frame, change nothing",
         2, 1,
         {frame(0, 0, 2, 1, 1, -1, {1, 2}), frame(2, 0, 1, 1, 1, -1, {3}), frame(0, 1, 1, 1, 2, -1, {3}),
          frame(0, 0, 0, 0, 1, -1, {})},
         {1, 2}},
        {"a screen of width 0 takes no pixels", 0, 2, {frame(0, 0, 1, 1, 2, -1, {1}), frame(0, 0, 1, 1, 1, -1, {2})}, {}},
        {"a first frame smaller than the screen starts from the background; else from its transparent index",
         2, 1, {frame(0, 0, 1, 1, 1, -1, {1})}, {1, 3}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const GifFile file = giftest::animation(c.width, c.height, 4, c.frames, c.background);
        auto a = open(file);
        ASSERT_NE(a, nullptr);
        const auto frames = all_frames_of(*a);
        ASSERT_EQ(frames.size(), c.frames.size());
        EXPECT_EQ(frames.back(), c.last);
        const auto reference = giftest::reference_frames(file.bytes);
        EXPECT_TRUE(!reference.ok || frames == reference.frames) << "giflib composes otherwise";
    }
}

// True-colour frames of small files, each frame's pixels written out as a
// browser shows them.
TEST_F(GifFramesTest, TrueColourFramesAreWhatBrowsersShow) {
    using Px = std::array<uint8_t, 4>;
    const Px clear{0, 0, 0, 0}, red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255},
        white{255, 255, 255, 255}, yellow{255, 255, 0, 255}, black{0, 0, 0, 255};
    const std::vector<uint8_t> rgbw = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    const std::vector<uint8_t> red_twice = {255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 255, 0};
    auto with_local = [](FrameSpec f, std::vector<uint8_t> rgb) {
        f.local_rgb = std::move(rgb);
        return f;
    };
    struct Case {
        const char* what;
        GifFile file;
        std::vector<std::vector<Px>> frames;  // every frame's pixels
    };
    // Index 5 of a 4-colour table: code size 3 for a 2-bit table.
    GifFile past_table;
    past_table.header("89a", 2, 1, 0x81, rgbw).image(0, 0, 2, 1, 0, {}, 3, giftest::encode_literals({5, 1}, 3)).trailer();
    const std::vector<Case> cases = {
        {"frames with their own tables redraw part of the screen",
         giftest::animation_rgb(4, 1, {},
                                {with_local(frame(0, 0, 4, 1, 1, -1, {0, 1, 2, 3}), rgbw),
                                 with_local(frame(0, 0, 4, 1, 1, 0, {0, 0, 0, 1}), {0, 0, 0, 255, 255, 0})}),
         {{red, green, blue, white}, {red, green, blue, yellow}}},
        {"a transparent index whose colour another entry shares keeps its colour for later frames",
         giftest::animation_rgb(2, 1, red_twice,
                                {frame(0, 0, 2, 1, 1, 1, {0, 1}), frame(0, 0, 2, 1, -1, -1, {1, 2}),
                                 frame(1, 0, 1, 1, 1, -1, {1})}),
         {{red, clear}, {red, blue}, {red, red}}},
        {"disposal 2 of the first frame clears its rectangle to transparent",
         giftest::animation_rgb(3, 1, rgbw, {frame(0, 0, 2, 1, 2, -1, {0, 0}), frame(2, 0, 1, 1, 1, -1, {1})}),
         {{red, red, clear}, {clear, clear, green}}},
        {"disposal 3 and 4 put the rectangle back, 5 keeps the frame",
         giftest::animation_rgb(2, 1, rgbw,
                                {frame(0, 0, 2, 1, 1, -1, {0, 1}), frame(0, 0, 1, 1, 3, -1, {2}),
                                 frame(1, 0, 1, 1, 4, -1, {3}), frame(0, 0, 1, 1, 5, -1, {3}),
                                 frame(1, 0, 1, 1, 1, -1, {2})}),
         {{red, green}, {blue, green}, {red, white}, {white, green}, {white, blue}}},
        {"frames reaching past the screen are clipped, and one wholly outside draws nothing",
         giftest::animation_rgb(2, 2, rgbw,
                                {frame(1, 1, 3, 2, 1, -1, {2, 3, 3, 3, 3, 3}), frame(2, 0, 2, 2, 1, -1, {0, 0, 0, 0}),
                                 frame(0, 5, 1, 1, 2, -1, {0}), frame(0, 0, 1, 1, 1, -1, {1})}),
         {{clear, clear, clear, blue}, {clear, clear, clear, blue}, {clear, clear, clear, blue},
          {green, clear, clear, blue}}},
        {"an index past the table is opaque black", past_table, {{black, green}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto a = open(c.file);
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->page_count().value, c.frames.size());
        // In order, then the first again (a new pass) and the last (going on).
        std::vector<size_t> order(c.frames.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        order.insert(order.end(), {0, c.frames.size() - 1});
        for (const size_t i : order) {
            const auto frame = a->rgba_frame(i);
            ASSERT_TRUE(frame.ok()) << i;
            std::vector<Px> got(c.frames[i].size());
            ASSERT_EQ(size_t{frame.value.width} * frame.value.height, got.size());
            std::memcpy(got.data(), frame.value.pixels, got.size() * 4);
            EXPECT_EQ(got, c.frames[i]) << "frame " << i;
        }
        const auto reference = giftest::reference_rgba(c.file.bytes);
        for (size_t i = 0; reference.ok && i < reference.frames.size(); ++i) {
            std::vector<uint8_t> want;
            for (const Px& p : c.frames[i]) want.insert(want.end(), p.begin(), p.end());
            EXPECT_EQ(giftest::rgba_difference(want.data(), reference, i), "") << "giflib composes otherwise";
        }
    }
    auto a = open(giftest::animation_rgb(1, 1, rgbw, {frame(0, 0, 1, 1, 1, -1, {0})}));
    const auto refused = a->rgba_frame(1);
    EXPECT_EQ(kvtest::codes(refused.errors), std::vector<int32_t>{kvhost::host_error::kBadArgument});
}

TEST_F(GifFramesTest, DelaysAndTimesAndAnEarlierFrameRebuiltFromTheFirst) {
    auto a = open(three_frames(0, 1, 5));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->total_duration_ms().value, 250u);  // 0 and 1 count as the default 100 ms
    EXPECT_EQ(a->frame_delay(0).value, 100 * kUnitsPerMs);
    EXPECT_EQ(a->frame_delay(2).value, 50 * kUnitsPerMs);
    // Composition goes on where it was after the time walks.
    ASSERT_TRUE(a->frame(1).ok());
    for (auto [t, shown] : std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}, {99, 0}, {100, 1}, {249, 2}, {1000, 2}})
        EXPECT_EQ(a->frame_at_time(t).value, shown) << "at " << t << " ms";
    EXPECT_EQ(a->frame(2).value.pixels, (std::vector<uint8_t>{2, 2, 2, 2}));
    kvhost::recording::start();
    const auto again = a->frame(1);
    kvhost::recording::stop();
    EXPECT_EQ(again.value.pixels, (std::vector<uint8_t>{1, 1, 1, 1}));
    // A new canvas, and frames 0 and 1 read again from the header on.
    EXPECT_EQ(kvhost::recording::calls_of({"iKV_image_create_DIB"}).size(), 1u);
    EXPECT_EQ(kvhost::recording::calls_of({"GPr_load_CB_data_done"}).size(), 2u);
    // Asking for the frame shown needs no work.
    kvhost::recording::start();
    EXPECT_TRUE(a->frame(1).ok());
    kvhost::recording::stop();
    EXPECT_TRUE(kvhost::recording::calls_of({"GPr_load_CB_data_done", "iKV_image_create_DIB"}).empty());

    // The default counts in whole hundredths: 205 ms shows for 200.
    ASSERT_TRUE(a->set_default_delay_ms(205).ok());
    EXPECT_EQ(a->default_delay_ms().value, 205u);
    EXPECT_EQ(a->total_duration_ms().value, 450u) << "the cached duration must follow the property";
    EXPECT_EQ(a->frame_delay(1).value, 200 * kUnitsPerMs) << "so must the delay of the frame shown";
    ASSERT_TRUE(a->set_min_delay_ms(60).ok());  // delays up to 6 hundredths take the default
    EXPECT_EQ(a->min_delay_ms().value, 60u);
    EXPECT_EQ(a->total_duration_ms().value, 600u);
}

// What a frame's load keeps on the stream is dropped with it: the budget the
// composition holds does not grow with the frames composed, so a long
// animation does not run out of budget part way.
TEST_F(GifFramesTest, TheBudgetHeldDoesNotGrowWithTheFrames) {
    std::vector<FrameSpec> frames;
    for (int i = 0; i < 64; ++i) frames.push_back(frame(0, 0, 2, 2, 1, -1, {}));
    auto a = open(giftest::animation(2, 2, 4, frames));
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(a->frame(1).ok());
    const uint64_t held = kvhost::memory::operation_bytes();
    ASSERT_TRUE(a->frame(63).ok());
    EXPECT_EQ(kvhost::memory::operation_bytes(), held);
}

// A thrown status (0: nothing thrown), with the records the operation left.
struct Thrown {
    int64_t status = 0;
    std::vector<kvhost::ErrorRecord> records;
};

Thrown throw_of(const std::function<void()>& operation) {
    Thrown t;
    kvhost::clear_errors();
    try {
        operation();
    } catch (int64_t status) {
        t.status = status;
    }
    t.records = kvhost::error_records();
    kvhost::clear_errors();
    return t;
}

TEST_F(GifFramesTest, PropertiesAndRefusedOperationsRecordThenThrow) {
    auto a = open(three_frames(5, 5, 5));
    ASSERT_NE(a, nullptr);
    CKVMultInstance* instance = nullptr;
    a->call([&](CKVMultInstance& i) { instance = &i; });
    EXPECT_EQ(instance->format_number(), 14u);
    EXPECT_EQ(instance->constant_one(), 1u);
    EXPECT_EQ(instance->constant_zero(), 0u);
    EXPECT_EQ(instance->page_count(), 3u);
    for (auto [id, size] : std::vector<std::pair<uint32_t, uint64_t>>{{0, 4}, {1, 4}, {4000, 8}, {4001, 8}})
        EXPECT_EQ(instance->property_size(id), size) << id;
    uint32_t word = 7;
    instance->property_get(0, &word);
    EXPECT_EQ(word, 1u);
    instance->property_get(1, &word);
    EXPECT_EQ(word, 0u);

    struct Refusal {
        const char* what;
        std::function<void()> operation;
        int32_t code;
        int64_t detail1, detail2;
    };
    uint64_t value = 5;
    const std::vector<Refusal> refusals = {
        {"size of id 5", [&] { instance->property_size(5); }, -401, 5, 0},
        {"get of id 4002", [&] { instance->property_get(4002, &value); }, -401, 4002, 0},
        {"set of read-only id 0", [&] { instance->property_set(0, &value); }, -401, 0, 0},
        {"page property 16", [&] { instance->page_property_16(nullptr, 7); }, -401, 7, 0},
        {"page property 17", [&] { instance->page_property_17(nullptr, 8); }, -401, 8, 0},
        {"page property 18", [&] { instance->page_property_18(nullptr, 9); }, -401, 9, 0},
        {"frame past the last", [&] { instance->frame_image(3); }, -401, 3, 3},
        {"delay past the last", [&] { instance->frame_delay(7); }, -401, 7, 3},
        {"slot 9", [&] { instance->unsupported_9(); }, -900, 9, 0},
        {"slot 12", [&] { instance->unsupported_12(); }, -900, 12, 0},
        {"destroy without an instance", [&] { kvhost::gif_frames::gif_source()->destroy_instance(nullptr); }, -3380,
         0, 0},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        const Thrown t = throw_of(r.operation);
        EXPECT_EQ(t.status, r.code);
        ASSERT_EQ(kvtest::codes(t.records), std::vector<int32_t>{r.code});
        EXPECT_EQ(t.records[0].module, "Common/Components/LZW/gifMultSource");
        EXPECT_EQ(t.records[0].details[1], r.detail1);
        EXPECT_EQ(t.records[0].details[2], r.detail2);
    }
    // The API turns the throw into the call's status and records.
    const auto refused = a->frame(3);
    EXPECT_EQ(refused.status, -401);
    EXPECT_EQ(kvtest::codes(refused.errors), std::vector<int32_t>{-401});
    EXPECT_TRUE(a->frame(2).ok()) << "a refusal leaves the instance usable";
}

TEST_F(GifFramesTest, StreamsThatCannotBeOpenedGiveNoInstance) {
    kvhost::gif_frames::Outcome outcome;
    const std::vector<uint8_t> not_gif = {'P', 'N', 'G', 0};
    EXPECT_EQ(Animation::open(kvhost::gif::Source::memory(not_gif.data(), not_gif.size()), &outcome), nullptr);
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(Animation::open(kvhost::gif::Source::file("/nonexistent/x.gif"), &outcome), nullptr);
    EXPECT_FALSE(outcome.ok());

    // A named file that cannot be opened when the instance is made: -2030.
    auto named = kvhost::named_stream("/nonexistent/x.gif");
    Thrown t = throw_of([&] { kvhost::gif_frames::gif_source()->create_instance(named.get()); });
    EXPECT_EQ(t.status, -2030);
    EXPECT_EQ(kvtest::codes(t.records), std::vector<int32_t>{-2030});
    EXPECT_EQ(named->descriptor.image_destination, nullptr) << "the freed instance is forgotten by the stream";

    // A GIF without images: the first frame cannot be read.
    const GifFile empty = GifFile::screen(2, 2).trailer();
    EXPECT_EQ(open(empty, &outcome), nullptr);
    EXPECT_EQ(outcome.status, -2005);
}

// Composes every frame, asks for the duration and a time; the codes of the
// first failure, or none.
std::vector<int32_t> exercise(Animation& a, std::vector<std::vector<uint8_t>>* frames) {
    std::vector<int32_t> failure;
    *frames = giftest::GifFramesTest::all_frames_of(a, &failure);
    if (!failure.empty()) return failure;
    auto duration = a.total_duration_ms();
    if (!duration.ok()) return kvtest::codes(duration.errors);
    auto at = a.frame_at_time(120);
    if (!at.ok()) return kvtest::codes(at.errors);
    return {};
}

TEST_F(GifFramesTest, EveryHeapAllocationAndImageCallFailingInTurn) {
    const GifFile file = giftest::animation(
        4, 3, 4,
        {frame(0, 0, 2, 2, 1, 0, {1, 0, 2, 3}, 5), frame(1, 1, 3, 2, 3, 1, {2, 1, 3, 3, 2, 1}, 5),
         frame(2, 0, 3, 3, 2, -1, {1, 2, 3, 1, 2, 3, 1, 2, 3}, 5), frame(0, 0, 1, 1, 1, -1, {3}, 5)});
    const auto expected = giftest::reference_frames(file.bytes).frames;
    std::vector<std::vector<uint8_t>> frames;
    {
        auto a = open(file);
        ASSERT_NE(a, nullptr);
        ASSERT_TRUE(exercise(*a, &frames).empty());
        ASSERT_EQ(frames, expected);
    }

    // A failed iKV_image_delete is not among them: the instance keeps the
    // handle and deletes it later, but one failing at destruction has no
    // later.
    const std::vector<std::string> image_calls = {
        "iKV_image_create_DIB", "iKV_DIB_area_get_ex",   "iKV_DIB_area_set_ex",   "iKV_DIB_raster_get_ex",
        "iKV_DIB_raster_set_ex", "iKV_DIB_raster_size_get_ex", "iKV_image_duplicate",
        "iKV_image_is_valid",   "iKV_image_dimensions_get", "GPb_palette_pointer_get", "GPr_load_CB_data_done"};
    for (int kind = 0; kind < 2; ++kind) {
        uint64_t failed = 0;
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE((kind == 0 ? "heap allocation " : "image call ") + std::to_string(n));
            if (kind == 0) {
                kvtest::heap::fail_nth_nothrow_allocation(n);
            } else {
                kvhost::fail_nth_call_of(image_calls, n);
            }
            kvhost::gif_frames::Outcome opened;
            auto a = open(file, &opened);
            std::vector<int32_t> failure = kvtest::codes(opened.errors);
            frames.clear();
            if (a != nullptr) failure = exercise(*a, &frames);
            const bool reached = kind == 0 ? kvtest::heap::nothrow_allocations() >= n : kvhost::matching_calls() >= n;
            kvtest::heap::clear_faults();
            kvhost::clear_call_faults();
            if (!reached) {
                EXPECT_GT(failed, kind == 0 ? 3u : 20u) << "too few operations failed to tell anything";
                break;
            }
            failed += failure.empty() ? 0 : 1;
            // The failure has its documented code, or the operations went on
            // regardless; either way the instance composes again.
            if (!failure.empty()) {
                const int32_t code = failure.front();
                EXPECT_TRUE(code == -1000 || code == -3020 || code == -2100 || code == -4750 ||
                            code == kvhost::kInjectedFault)
                    << code;
            }
            if (a != nullptr) {
                EXPECT_TRUE(exercise(*a, &frames).empty());
                EXPECT_EQ(frames, expected);
                a.reset();
            }
            EXPECT_EQ(kvhost::images::live_count(), images_before_);
            EXPECT_EQ(kvtest::heap::nothrow_blocks_outstanding(), heap_before_);
        }
    }
}

}  // namespace
