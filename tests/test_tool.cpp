// The kvlzw tool as a user runs it: exit codes, output and error messages;
// info and decode on GIF and TIFF files (.bin is the indices, PNG the
// palette's colours, non-LZW and tiled TIFFs are refused);
// hostile and everyday input: bounded memory under an address space limit,
// huge declared images, standard input and output, output files (links,
// read-only files, interruption), and options that do not apply.
#include "gif_test_files.h"
#include "kvhost/gif_frames.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using kvtest::temp_path;

using kvtest::contains;

const std::string kTool = KVLZW_TOOL_PATH;
const std::string kSample = std::string(KVLZW_SOURCE_DIR) + "/samples/animation.gif";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

using kvtest::expect;
using kvtest::expect_run;

// A 1x1 page that declares a width x height screen and image.
std::vector<uint8_t> declared_gif(uint16_t width, uint16_t height) {
    giftest::GifFile file = giftest::GifFile::screen(width, height);
    return file.image(0, 0, width, height, 0, {}, 2, {0x44, 0x01}).trailer().bytes;
}

// The indices of a GIF page as the application API loads it.
std::vector<uint8_t> page_indices(const std::string& file, uint32_t page, kvhost::gif::PageResult* result) {
    kvtest::component();
    *result = kvhost::gif::load_page(kvhost::gif::Source::file(file), page);
    return result->image != nullptr ? giftest::indices_of(*result->image) : std::vector<uint8_t>{};
}

TEST(GifTool, DecodeWritesIndicesAndPalettePngs) {
    KVTEST_NEEDS_CORPUS();
    const std::string file = kvtest::corpus_path("gif/giflib/welcome2.gif");
    kvhost::gif::PageResult r;
    const auto indices = page_indices(file, 4, &r);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.has_attribute(KV_ATTR_TRANSPARENT_INDEX));
    const uint8_t transparent = static_cast<uint8_t>(r.attribute(KV_ATTR_TRANSPARENT_INDEX));

    const std::string bin = temp_path("gif.bin");
    expect_run("decode " + file + " --page 4 -o " + bin, 0);
    EXPECT_EQ(kvtest::read_file(bin), indices);
    std::remove(bin.c_str());

    // The fast default and the smallest file hold the same image.
    const std::string png_path = temp_path("gif.png");
    for (const char* level : {"", " --png-level 9"}) {
        expect_run("decode " + file + " --page 4 -o " + png_path + level, 0);
        EXPECT_EQ(kvtest::read_png(png_path).color_type, PNG_COLOR_TYPE_PALETTE);
        uint32_t width = 0, height = 0;
        const auto pixels = kvtest::read_rgba_png(png_path, &width, &height);
        EXPECT_EQ(std::pair(width, height), std::pair(r.image->width, r.image->height));
        ASSERT_EQ(pixels.size(), indices.size() * 4);
        // Each pixel's colour is its palette entry, transparent where the index is.
        for (size_t i = 0; i < indices.size(); i += 97) {
            const uint8_t* entry = &r.image->palette[indices[i] * 4];
            const uint8_t* got = &pixels[i * 4];
            const bool clear = indices[i] == transparent;
            EXPECT_EQ(got[3], clear ? 0 : 255) << i;
            if (!clear) {
                EXPECT_EQ(std::vector(got, got + 3), (std::vector{entry[2], entry[1], entry[0]})) << i;
            }
        }
        std::remove(png_path.c_str());
    }
    expect_run("decode " + file + " --page 4 --png-level 10 -o " + png_path, 2);

    // A page past the end: nothing written, the error shown, exit 1.
    expect_run("decode " + file + " --page 9 -o " + png_path, 1, {"error -2005"});
    EXPECT_NE(access(png_path.c_str(), F_OK), 0);
    expect_run("decode " + file + " --page x -o " + png_path, 2);
}

// info's page fields and duration against what a load of the page reports
// (attributes, palette), giflib's colour table and the frames API's total:
// the whole page object, and the whole text lines.
TEST(GifTool, InfoDescribesAPageAsItsLoadAndGiflibSeeIt) {
    KVTEST_NEEDS_CORPUS();
    const struct {
        std::string file;
        uint32_t page;
    } cases[] = {{kSample, 1},  // disposal 1, a delay, background 5, an 8-entry table at depth 4
                 {kvtest::corpus_path("gif/wuffs/animated-red-blue.gif"), 2},  // transparent red, disposal 1
                 {kvtest::corpus_path("gif/giflib/welcome2.gif"), 2},
                 {kvtest::corpus_path("gif/giflib/treescap-interlaced.gif"), 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + " page " + std::to_string(c.page));
        kvhost::gif::PageResult r;
        page_indices(c.file, c.page, &r);
        ASSERT_TRUE(r.image != nullptr);
        const auto giflib = giftest::giflib_decode(kvtest::read_file(c.file));
        ASSERT_GE(giflib.rgb.size(), c.page);
        const size_t entries = giflib.rgb[c.page - 1].size() / 3;
        kvhost::gif_frames::Outcome opened;
        auto animation = kvhost::gif_frames::Animation::open(kvhost::gif::Source::file(c.file), &opened);
        ASSERT_NE(animation, nullptr);
        const uint64_t duration = animation->total_duration_ms().value;
        const uint32_t pages = static_cast<uint32_t>(giflib.indices.size());

        const bool transparent = r.has_attribute(KV_ATTR_TRANSPARENT_INDEX);
        const uint64_t t = r.attribute(KV_ATTR_TRANSPARENT_INDEX);
        const std::string colour = transparent ? std::to_string(r.image->palette[t * 4 + 2]) + ", " +
                                                     std::to_string(r.image->palette[t * 4 + 1]) + ", " +
                                                     std::to_string(r.image->palette[t * 4])
                                               : "";
        const std::string& d = giflib.descriptors[c.page - 1];
        const std::string left = d.substr(0, d.find(',')), top = d.substr(d.find(',') + 1, d.find(' ') - d.find(',') - 1);
        const std::string size = std::to_string(r.image->width) + "x" + std::to_string(r.image->height);
        const bool interlaced = contains(d, "interlaced");
        const std::string delay = std::to_string(r.attribute(KV_ATTR_DELAY)),
                          disposal = std::to_string(r.attribute(KV_ATTR_DISPOSAL)),
                          background = std::to_string(r.attribute(KV_ATTR_BACKGROUND_INDEX));

        const std::string json = kvtest::run_tool("info " + c.file + " --json --page " + std::to_string(c.page)).out;
        const size_t at = json.find("\"page\": {");
        ASSERT_NE(at, std::string::npos) << json;
        EXPECT_EQ(json.substr(at, json.find('}', at) + 1 - at),
                  "\"page\": {\"number\": " + std::to_string(c.page) + ", \"left\": " + left + ", \"top\": " + top +
                      ", \"width\": " + std::to_string(r.image->width) + ", \"height\": " +
                      std::to_string(r.image->height) + ", \"depth\": " + std::to_string(r.image->depth) +
                      ", \"palette_entries\": " + std::to_string(entries) + ", \"interlaced\": " +
                      (interlaced ? "true" : "false") + ", \"transparent_index\": " +
                      (transparent ? std::to_string(t) : "null") + ", \"transparent_color\": " +
                      (transparent ? "[" + colour + "]" : "null") + ", \"delay\": " + delay + ", \"disposal\": " +
                      disposal + ", \"background_index\": " + background + "}");
        EXPECT_TRUE(contains(json, "\"pages\": " + std::to_string(pages) + ", \"duration_ms\": " +
                                       std::to_string(duration) + ","))
            << json;

        const std::string text = kvtest::run_tool("info " + c.file + " --page " + std::to_string(c.page)).out;
        const std::string screen = giflib.screen.substr(0, giflib.screen.find(' '));
        const std::string lines =
            giflib.version + ", logical screen " + screen + ", " + std::to_string(pages) + (pages == 1 ? " page" : " pages") + ", duration " +
            std::to_string(duration) + " ms\npage " + std::to_string(c.page) + ": " + size + " at (" + left + ", " +
            top + "), depth " + std::to_string(r.image->depth) + ", palette " + std::to_string(entries) +
            " entries, " + (interlaced ? "interlaced" : "not interlaced") + "\n  " +
            (transparent ? "transparent index " + std::to_string(t) + ", colour (" + colour + ")" : "no transparency") +
            "\n  delay " + delay + ", disposal " + disposal + ", background index " + background + "\n";
        EXPECT_EQ(text.substr(0, lines.size()), lines);
    }
}

// A page whose rows all came from its data is written though reading failed
// after it (no trailer); one whose data ends early (its missing rows come out
// zero) only with --partial. --strict refuses both; the exit status tells.
TEST(GifTool, DecodeWritesWholePagesAndPartialOnesOnlyWhenAsked) {
    KVTEST_NEEDS_CORPUS();
    const struct {
        std::string file, page, options;
        int status;
        std::string message;
    } cases[] = {
        {"gif/derived/muybridge-no-trailer.gif", "15", "", 0, "warning: error -2100"},
        {"gif/derived/muybridge-no-trailer.gif", "15", " --strict", 1, "cannot decode page 15"},
        {"gif/wuffs/hippopotamus.interlaced.truncated.gif", "1", "", 1,
         "page 1: the LZW data ends before the image's last pixel (--partial writes it"},
        {"gif/wuffs/hippopotamus.interlaced.truncated.gif", "1", " --partial", 0,
         "warning: " + kvtest::corpus_path("gif/wuffs/hippopotamus.interlaced.truncated.gif") +
             ": page 1: the LZW data ends before the image's last pixel; the missing rows are zero"},
        {"gif/wuffs/artificial-gif/pixel-data-not-enough.gif", "1", "", 1, "the LZW data ends before"},
    };
    const std::string bin = temp_path("recovered.bin");
    for (const auto& c : cases) {
        const std::string file = kvtest::corpus_path(c.file);
        SCOPED_TRACE(c.file + c.options);
        kvhost::gif::PageResult r;
        const auto indices = page_indices(file, std::stoul(c.page), &r);
        ASSERT_NE(r.image, nullptr);
        std::remove(bin.c_str());
        expect_run("decode " + file + " --page " + c.page + c.options + " -o " + bin, c.status, {c.message});
        if (c.status == 0) {
            EXPECT_EQ(kvtest::read_file(bin), indices);
        } else {
            EXPECT_NE(access(bin.c_str(), F_OK), 0) << "nothing is written";
        }
    }
    std::remove(bin.c_str());
}

TEST(ToolLimits, EndlessAndHostileInputStopsWithinAnAddressSpaceLimit) {
    if (kSanitized) GTEST_SKIP() << "an address space limit does not suit the sanitizers' shadow memory";
    const std::string out = temp_path("endless.out");
    const std::string limit = "ulimit -v 1000000; ";
    expect(kvtest::run_shell(limit + kTool + " lzw compress /dev/zero -o " + out), 1, {"memory budget"},
           "compress /dev/zero");
    // (The input kept for going back or the decode buffer: whichever passes the budget first.)
    expect(kvtest::run_shell(limit + kTool + " lzw decompress /dev/zero -o " + out), 1, {"memory budget"},
           "decompress /dev/zero");
    expect(kvtest::run_shell(limit + "cat /dev/zero | " + kTool + " lzw decompress - --max-memory 64M -o " + out), 1,
           {"cannot decompress standard input"}, "an endless pipe");
    // With --size only what the job needs is read.
    expect(kvtest::run_shell(limit + kTool + " lzw decompress /dev/zero --size 100 -o " + out), 0, {}, "--size 100");
    EXPECT_EQ(kvtest::read_file(out), std::vector<uint8_t>(100, 0));
    std::remove(out.c_str());

    // A 30000 x 30000 page in a few bytes: info describes it without pixels.
    const std::string huge = temp_path("huge.gif");
    kvtest::write_file(huge, declared_gif(30000, 30000));
    expect(kvtest::run_shell("ulimit -v 300000; " + kTool + " info " + huge), 0, {"page 1: 30000x30000"}, "info");
    std::remove(huge.c_str());
}

// Every command that reads an image keeps to the pixel limit and the memory
// budget, whatever the input declares or however long it runs: each refusal
// names the limit, and (outside the sanitizers) happens within an address
// space far below what obeying the input would take.
TEST(ToolLimits, PixelAndMemoryLimitsBindEveryCommand) {
    const std::string huge = temp_path("limits-huge.gif"), bomb = temp_path("limits-bomb.png");
    const std::string out = temp_path("limits-out");
    kvtest::write_file(huge, declared_gif(30000, 30000));
    const std::string header = kvtest::grey_png(30000, 30000, "", "", 1, 1);  // enough to set out to inflate
    kvtest::write_file(bomb, std::vector<uint8_t>(header.begin(), header.end()));
    // 100000 graphic controls before one image: the component's records pass the budget.
    giftest::GifFile many = giftest::GifFile::screen(1, 1);
    for (int i = 0; i < 100000; ++i) many.control(0, 0, 0);
    const std::string controls = temp_path("limits-controls.gif");
    kvtest::write_file(controls, many.image_of(1, 1, {0}, 2).trailer().bytes);
    const std::string pixels = "30000 x 30000 pixels is 810521515 more than the limit of 89478485 (--max-pixels N raises it)";
    const std::string lots = " --max-pixels 1000000000 --max-memory 10M";
    const std::string endless = "(printf GIF89a; cat /dev/zero) | ";
    const struct {
        std::string command;
        int status;
        std::string message;
    } rows[] = {
        {kTool + " decode " + huge + " -o " + out + ".png", 1, pixels},
        {kTool + " copy " + huge + " -o " + out + ".gif", 1, pixels},
        {kTool + " encode " + bomb + " -o " + out + ".gif", 1, pixels},
        {kTool + " decode " + huge + lots + " -o " + out + ".png", 1, "image rows beyond the memory budget of 10485760 bytes"},
        {kTool + " copy " + huge + lots + " -o " + out + ".gif", 1, "image rows beyond the memory budget of 10485760 bytes"},
        {kTool + " decode " + controls + " --max-memory 1M -o " + out + ".png", 1,
         "error -1000 (an allocation failed); the memory budget is 1048576 bytes (--max-memory raises it)"},
        {kTool + " encode " + bomb + lots + " -o " + out + ".gif", 1,
         "decoding needs 4500000000 bytes, 4489514240 more than the memory budget of 10485760 bytes"},
        {kTool + " frames " + huge + " --frame 1 -o " + out + ".png", 1, pixels},
        {kTool + " frames " + huge + lots + " --frame 1 -o " + out + ".png", 1,
         "needs 7200000000 bytes, beyond the memory budget of 10485760 bytes"},
        {kTool + " frames " + huge + lots + " --indexed --frame 1 -o " + out + ".png", 1,
         "needs 900001024 bytes, beyond the memory budget of 10485760 bytes"},
        {endless + kTool + " frames - --max-memory 16M -o " + out + ".dir", 1,
         "standard input is larger than the memory budget of 16777216"},
        {endless + kTool + " info - --max-memory 16M", 1, "standard input is larger than the memory budget of 16777216"},
        {endless + kTool + " copy - --max-memory 16M -o " + out + ".gif", 1,
         "standard input is larger than the memory budget of 16777216"},
        {kTool + " probe /dev/zero", 1, "/dev/zero: no registered filter recognises this file"},
        {kTool + " decode /dev/urandom -o " + out + ".png", 1, "/dev/urandom: not a GIF or TIFF file"},
        {kTool + " copy /dev/zero -o " + out + ".gif", 1, "/dev/zero: not a GIF file"},
        {kTool + " encode /dev/zero -o " + out + ".gif", 1, "/dev/zero is not a PNG file"},
    };
    for (const auto& row : rows) {
        const std::string bound = kSanitized ? "" : "ulimit -v 400000; ";
        expect(kvtest::run_shell(bound + row.command), row.status, {row.message}, row.command);
    }
    for (const char* ext : {".png", ".gif", ".dir"}) EXPECT_FALSE(std::filesystem::exists(out + ext));
    for (const std::string& file : {huge, bomb, controls}) std::remove(file.c_str());
}

TEST(ToolIo, StandardInputAndOutputWorkWhereFilesDo) {
    KVTEST_NEEDS_CORPUS();
    const std::string bin = temp_path("sample.bin");
    ASSERT_EQ(kvtest::run_tool("decode " + kSample + " -o " + bin).status, 0);
    const std::string piped = temp_path("piped.bin");
    expect(kvtest::run_shell("cat " + kSample + " | " + kTool + " decode - -o - --format bin > " + piped), 0, {},
           "GIF through pipes");
    EXPECT_EQ(kvtest::read_file(piped), kvtest::read_file(bin));
    expect(kvtest::run_shell(kTool + " info - < " + kvtest::corpus_path("tiff/derived/gray-4b-lzw.tif")), 0,
           {"directory 0:"}, "TIFF on standard input");
    const std::string fifo = temp_path("fifo");
    expect(kvtest::run_shell("rm -f " + fifo + "; mkfifo " + fifo + "; cat " + kSample + " > " + fifo + " & " + kTool +
                             " info " + fifo + "; rm -f " + fifo),
           0, {"page 1: 11x29"}, "a named pipe");
    expect(kvtest::run_shell(kTool + " lzw compress - -o - < " + kSample + " | " + kTool +
                             " lzw decompress - -o - > " + piped), 0, {}, "lzw round trip");
    EXPECT_EQ(kvtest::read_file(piped), kvtest::read_file(kSample));
    // copy, encode and frames read - and write - as they read and write files.
    const std::string png = temp_path("sample.png"), out = temp_path("sample-out");
    ASSERT_EQ(kvtest::run_tool("decode " + kSample + " -o " + png).status, 0);
    const struct {
        std::string input, command, to_file, to_stdout;
    } rows[] = {{kSample, "copy", "", ""},
                {png, "encode", "", ""},
                {kSample, "frames --frame 2", ".png", ""},
                {kSample, "frames --at 1600", ".bin", " --format bin"}};
    for (const auto& row : rows) {
        ASSERT_EQ(kvtest::run_tool(row.command + " " + row.input + " -o " + out + row.to_file).status, 0) << row.command;
        expect(kvtest::run_shell(kTool + " " + row.command + " - -o -" + row.to_stdout + " < " + row.input + " > " + piped),
               0, {}, row.command + " - -o -");
        EXPECT_EQ(kvtest::read_file(piped), kvtest::read_file(out + row.to_file)) << row.command;
        std::remove((out + row.to_file).c_str());
    }
    // All frames need a directory: standard output is refused, saying why.
    expect_run("frames " + kSample + " -o -", 2, {"-o - writes one frame to standard output"});
    EXPECT_FALSE(std::filesystem::exists("-"));
    for (const std::string& file : {bin, piped, png}) std::remove(file.c_str());
}

TEST(ToolIo, OutputsFollowLinksRefuseReadOnlyFilesAndLeaveNoTemporary) {
    namespace fs = std::filesystem;
    const fs::path dir = temp_path("outputs");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string target = (dir / "target.bin").string(), link = (dir / "link.bin").string();
    fs::create_symlink("target.bin", link);
    ASSERT_EQ(kvtest::run_tool("decode " + kSample + " -o " + link).status, 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_GT(fs::file_size(target), 0u);

    const std::string locked = (dir / "locked.bin").string();
    kvtest::write_file(locked, {1, 2, 3});
    chmod(locked.c_str(), 0444);
    expect_run("decode " + kSample + " -o " + locked, 1, {"the existing file is left as it is"});
    EXPECT_EQ(kvtest::read_file(locked), (std::vector<uint8_t>{1, 2, 3}));

    // Interrupted while the PNG is written: the temporary file goes too. The
    // slowest compression of noise keeps the write going long enough for the
    // signal to land in it, also on a loaded machine.
    const std::string raw = (dir / "noise.lzw").string();
    ASSERT_EQ(kvtest::run_shell("head -c 16777216 /dev/urandom | " + kTool + " lzw compress - -o " + raw).status, 0);
    const std::string png = (dir / "noise.png").string();
    const std::string pid_file = (dir / "pid").string();
    kvtest::run_shell(kTool + " decode " + raw + " --raw --width 4096 --height 4096 --bpp 8 --png-level 9 -o " + png +
                      " >/dev/null 2>&1 & echo $! > " + pid_file);
    const std::string pid = [&] {
        std::string text;
        std::ifstream(pid_file) >> text;
        return text;
    }();
    auto partial = [&] {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (contains(entry.path().filename().string(), ".partial-")) return true;
        }
        return false;
    };
    bool seen = false;
    for (int i = 0; i < 20000 && !seen; ++i) {
        seen = partial();
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kvtest::run_shell("kill -TERM " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.01; done");
    EXPECT_TRUE(seen) << "the decode never started writing";
    EXPECT_FALSE(partial());
    EXPECT_FALSE(fs::exists(png));
    fs::remove_all(dir);
}

// What each command prints and its exit status: 0 done, 1 failed, 2 a usage
// error, with a message that says why.
TEST(Tool, EachCommandSaysWhatItShould) {
    KVTEST_NEEDS_CORPUS();
    const std::string tiff = kvtest::corpus_path("tiff/derived/gray-4b-lzw.tif");
    const std::string raw = kvtest::corpus_path("raw/derived/gray8-157x151.raw");
    const std::string no_trailer = kvtest::corpus_path("gif/derived/muybridge-no-trailer.gif");
    const std::string stray = kvtest::corpus_path("gif/pillow/test_extents_transparency.gif");
    const std::string bad_version = kvtest::corpus_path("gif/libnsgif/afl-000317.gif");
    const std::string out = temp_path("usage.bin");
    const struct {
        std::string arguments;
        int status;
        std::vector<std::string> parts;
    } cases[] = {
        {"version", 0, {"LZW 19.2.0 (built Jul  3 2018)\nTarsenic Ombrolux19 LZW component\n"}},
        {"--version", 0, {"LZW 19.2.0"}},
        {"formats --json", 0,
         {"\"name\": \"GIF\", \"pattern\": \"*.gif\", \"format\": 14",
          "{\"name\": \"VERSION\", \"type\": 5, \"size\": 4, \"default\": 89}",
          "{\"name\": \"WIDTH\", \"type\": 12, \"size\": 8, \"default\": 0}", "\"name\": \"TIFF\""}},
        {"probe " + kSample, 0, {"GIF\n"}},
        {"probe " + kvtest::corpus_path("tiff/derived/palette-1c-4b-lzw.tif"), 0, {"TIFF\n"}},
        {"probe " + kvtest::corpus_path("gif/wuffs/not-gif/pjw-thumbnail.png"), 1, {"no registered filter recognises this file"}},
        {"version --module /nonexistent/libkvLZW19d.so", 1, {"cannot load the component"}},
        {"", 2, {}},
        {"frobnicate", 2, {}},
        {"probe", 2, {}},
        {"version --bogus", 2, {}},
        {"version --module", 2, {}},
        {"--help", 0, {}},
        {"probe --help", 0, {"Usage: kvlzw probe FILE"}},
        {"help lzw", 0, {"Usage: kvlzw lzw compress"}},
        {"help nothing", 2, {"unknown command 'nothing'"}},
        // GIF info's metadata tree and tags, in text and JSON (the page fields: above).
        {"info " + kSample + " --page 2", 0, {"      LogicalScreenWidth (513) = 11", "  1511 = 1\n"}},
        {"info " + kSample + " --json --page 3", 0,
         {"\"metadata\": [{\"name\": \"GIF\", \"id\": 14", "\"tags\": [{\"tag\": 1500, \"value\": \"89a\"}"}},
        // The last page of a file without a trailer is described (its pixels
        // are not read); a page past the last says how many there are.
        {"info " + no_trailer + " --page 15", 0, {"page 15: 30x20"}},
        {"info " + no_trailer + " --page 16", 1, {"page 16 of 15: the file has 15 pages"}},
        {"info " + kSample + " --page 4", 1, {"page 4 of 3: the file has 3 pages"}},
        // A page that is counted but cannot be read (stray bytes before it)
        // fails info as it fails the other commands; what probe refuses, copy refuses.
        {"info " + stray, 1, {"2 pages, duration unknown", "cannot read page 2 of " + stray}},
        {"frames " + stray + " --frame 2 -o " + out, 1, {"frame 2 of " + stray}},
        {"copy " + stray + " -o " + out, 1, {"cannot read page 2 of " + stray}},
        {"copy " + bad_version + " -o " + out, 1, {bad_version + ": not a GIF file"}},
        {"info " + kSample + " --page 4 --verbose", 1, {"error -2005 (GIF header short, or page not found) at "}},
        // TIFF info gives the strip service's arguments.
        {"info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/oxford.tif") + " --json", 0,
         {"\"width\": 601, \"height\": 81, \"byte_order\": \"big-endian\"", "\"planar_config\": 2",
          "\"rows_per_strip\": 1, \"strip_count\": 81, \"strips_per_plane\": 81"}},
        {"decode " + kvtest::corpus_path("tiff/libtiff/palette-1c-8b.tiff") + " -o " + out, 1, {"compression 1 is not LZW"}},
        {"info " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/quad-tile.tif"), 1, {"tiled images are not read"}},
        {"info /nonexistent/file.gif", 1, {"cannot open /nonexistent/file.gif: No such file or directory"}},
        // Options that do not apply, and values out of range.
        {"decode " + tiff + " --page 2 -o " + out, 2, {"--page applies to GIF files only"}},
        {"info " + kSample + " --directory 1", 2, {"--directory applies to TIFF files only"}},
        {"decode " + kSample + " --width 4 -o " + out, 2, {"--width applies to --raw only"}},
        {"decode " + kSample + " --format png -o " + out, 2, {"--format applies to -o - only"}},
        {"decode " + kSample + " --format gif -o -", 2, {"--format takes png or bin"}},
        {"info " + kSample + " --max-memory lots", 2, {"--max-memory takes a size"}},
        {"decode " + raw + " --raw --width 0 --height 151 --bpp 8 -o " + out, 2, {"--width and --height must be"}},
        {"decode " + raw + " --raw --height 151 --bpp 8 -o " + out, 2, {"--raw needs --width"}},
        {"decode " + raw + " --raw --width 157 --height 151 --bpp 0 -o " + out, 2, {"--bpp must be 1 to 16"}},
        {"decode " + raw + " --raw --width 100000 --height 100000 --bpp 16 --max-pixels 10000000000 -o " + out, 1, {"-1007"}},
        {"decode " + raw + " --raw --width 157 --height 152 --bpp 8 -o " + out, 0,
         {"warning: " + raw + ": the LZW data ran out before all 152 declared rows were decoded"}},
        {"lzw squeeze " + raw + " -o " + out, 2, {"unknown action 'squeeze'"}},
        {"lzw compress " + raw + " -o " + out + " --size 5", 2, {"apply to decompress only"}},
        {"lzw decompress " + raw, 2, {"needs -o OUT"}},
        {"lzw compress /nonexistent/file.bin -o " + out, 1, {"/nonexistent/file.bin"}},
    };
    for (const auto& c : cases) expect_run(c.arguments, c.status, c.parts);
    EXPECT_FALSE(contains(kvtest::run_tool("info " + kSample + " --page 4").out, " at ")) << "a location without --verbose";

    // A message said once: an error recorded again and again is one line with
    // its count, strips damaged alike are one line, and an error's meaning
    // is the one of the part that recorded it.
    const std::string oxford = kvtest::corpus_path("tiff/image-tiff/libtiffpic/oxford.tif");
    std::vector<uint8_t> damaged = kvtest::read_file(oxford);
    ASSERT_GT(damaged.size(), 15000u);
    std::fill(damaged.begin() + 1000, damaged.begin() + 15000, 0xFF);
    const std::string damaged_tif = temp_path("damaged-planar.tif");
    kvtest::write_file(damaged_tif, damaged);
    const struct {
        std::string arguments, line;
        size_t lines;
    } once[] = {
        {"decode " + kvtest::corpus_path("tiff/derived/gray-4b-lzw-pred2-invalid.tif") + " -o " + out,
         "kvlzw: error -200 (predictor 2 on 4-bit samples) (128 times)\n", 2},
        {"decode " + kvtest::corpus_path("tiff/image-tiff/libtiffpic/quad-tile.tif") + " -o " + out,
         "kvlzw: error -9010 (a TIFF layout the host's reader does not support): TIFF: tiled images are not read, "
         "only strips\n",
         2},
        {"decode " + kvtest::corpus_path("gif/pygif/invalid-code.gif") + " -o " + out,
         "kvlzw: error -2391 (bad LZW minimum code size or code)\n", 2},
        {"decode " + damaged_tif + " -o " + out, "warning: " + damaged_tif + ": strips ", 2},
        {"version --help", "  --verbose ", 14},
    };
    for (const auto& c : once) {
        const std::string text = kvtest::run_tool(c.arguments).out;
        EXPECT_EQ(text.find(c.line), text.rfind(c.line)) << c.arguments << "\n" << text;
        EXPECT_NE(text.find(c.line), std::string::npos) << c.arguments << "\n" << text;
        EXPECT_LE(std::count(text.begin(), text.end(), '\n'), c.lines) << c.arguments << "\n" << text;
        EXPECT_FALSE(contains(text, "--format")) << c.arguments;
    }
    std::remove(damaged_tif.c_str());
    std::remove(out.c_str());
}

}  // namespace
