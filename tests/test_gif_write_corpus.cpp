// Every GIF of the shared corpus that giflib and our reader both read whole,
// loaded page by page with its metadata and tags and saved again: giflib
// must find the same screen, images, palettes and extension blocks. Two
// differences are the writer's own: an 89a page without extensions before
// its image gets the default graphic control (no delay, no transparency),
// and an 87a file keeps no extensions before its images.
#include "gif_write_support.h"

#include <filesystem>
#include <map>

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) out += {digits[p[i] >> 4], digits[p[i] & 15]};
    return out;
}

std::string colour_map(const ColorMapObject* map) {
    if (map == nullptr) return "none";
    std::string out = std::to_string(map->ColorCount) + ":";
    for (int i = 0; i < map->ColorCount; ++i) {
        const GifColorType& c = map->Colors[i];
        const uint8_t rgb[3] = {c.Red, c.Green, c.Blue};
        out += hex(rgb, 3);
    }
    return out;
}

// One line per extension: its label and its data, sub-block boundaries left out.
std::vector<std::string> extensions(const ExtensionBlock* blocks, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        const ExtensionBlock& b = blocks[i];
        const std::string bytes = hex(b.Bytes, b.ByteCount);
        if (b.Function == CONTINUE_EXT_FUNC_CODE && !out.empty()) {
            out.back() += bytes;
        } else {
            out.push_back(hex(reinterpret_cast<const uint8_t*>(&b.Function), 1) + ":" + bytes);
        }
    }
    return out;
}

struct Page {
    std::string descriptor, table;
    std::vector<uint8_t> indices;
    std::vector<std::string> before;
};

struct Summary {
    bool ok = false;
    bool version87 = false;
    std::string screen;
    std::vector<Page> pages;
    std::vector<std::string> after_last;
};

Summary summarize(const std::vector<uint8_t>& bytes) {
    std::pair<const uint8_t*, size_t> unread{bytes.data(), bytes.size()};
    auto read = [](GifFileType* gif, GifByteType* out, int n) -> int {
        auto* rest = static_cast<std::pair<const uint8_t*, size_t>*>(gif->UserData);
        const size_t count = std::min<size_t>(n, rest->second);
        std::memcpy(out, rest->first, count);
        *rest = {rest->first + count, rest->second - count};
        return static_cast<int>(count);
    };
    Summary s;
    int error = 0;
    GifFileType* gif = DGifOpen(&unread, read, &error);
    if (gif == nullptr) return s;
    s.ok = DGifSlurp(gif) == GIF_OK;
    s.version87 = bytes.size() > 6 && bytes[4] == '7';
    s.screen = std::to_string(gif->SWidth) + "x" + std::to_string(gif->SHeight) + " resolution " +
               std::to_string(gif->SColorResolution) + " background " + std::to_string(gif->SBackGroundColor) +
               " aspect " + std::to_string(gif->AspectByte) + " table " + colour_map(gif->SColorMap);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        const GifImageDesc& d = image.ImageDesc;
        Page& page = s.pages.emplace_back();
        page.descriptor = std::to_string(d.Left) + "," + std::to_string(d.Top) + " " + std::to_string(d.Width) + "x" +
                          std::to_string(d.Height) + (d.Interlace ? " interlaced" : "");
        page.table = colour_map(d.ColorMap);
        page.indices.assign(image.RasterBits, image.RasterBits + static_cast<size_t>(d.Width) * d.Height);
        page.before = extensions(image.ExtensionBlocks, image.ExtensionBlockCount);
    }
    s.after_last = extensions(gif->ExtensionBlocks, gif->ExtensionBlockCount);
    DGifCloseFile(gif, &error);
    return s;
}

// Loads every page with its metadata and tags and saves it again.
std::vector<uint8_t> copy_pages(const std::string& path, uint32_t pages, std::string* failure) {
    const auto source = kvhost::gif::Source::file(path);
    std::vector<uint8_t> out;
    for (uint32_t p = 1; p <= pages; ++p) {
        const auto loaded = kvhost::gif::load_page(source, p);
        if (!loaded.ok() || loaded.image == nullptr) {
            *failure = "page " + std::to_string(p) + " does not load";
            return {};
        }
        kvhost::MetadataNode metadata = loaded.metadata;
        kvhost::TagStore tags = loaded.tags;
        if (p < pages) kvhost::gif::drop_after_image_extensions(&metadata, &tags);
        kvhost::gif::SaveOptions options;
        options.append = p > 1;
        options.version = loaded.settings.version;
        options.interlace = loaded.settings.interlace != 0;
        options.metadata = &metadata;
        options.tags = &tags;
        const auto saved = kvhost::gif::save_page(kvhost::gif::Destination::memory(&out),
                                                  kvhost::gif::SaveImage::from_loaded(*loaded.image), options);
        if (!saved.ok()) {
            *failure = "page " + std::to_string(p) + ": " + kvhost::describe(saved.errors.at(0));
            return {};
        }
    }
    return out;
}

TEST(GifWriteCorpus, EveryReadableFileCopiedPageByPage) {
    kvtest::component();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    const std::string root = KVLZW_CORPUS_DIR;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == ".gif") {
            files.push_back(std::filesystem::relative(entry.path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    int copied = 0;
    for (const std::string& file : files) {
        const std::string path = root + "/" + file;
        const Summary original = summarize(kvtest::read_file(path));
        const auto count = kvhost::gif::page_count(kvhost::gif::Source::file(path));
        if (!original.ok || count.status != 0 || count.count != original.pages.size() || count.count == 0) continue;
        // Read differently from giflib on purpose (see the reader's corpus test).
        if (file == "gif/pygif/invalid-colors.gif") continue;
        std::string failure;
        const auto bytes = copy_pages(path, count.count, &failure);
        if (!failure.empty()) {
            ADD_FAILURE() << file << ": " << failure;
            continue;
        }
        ++copied;
        const Summary copy = summarize(bytes);
        ASSERT_TRUE(copy.ok) << file;
        EXPECT_EQ(copy.screen, original.screen) << file;
        ASSERT_EQ(copy.pages.size(), original.pages.size()) << file;
        for (size_t i = 0; i < copy.pages.size(); ++i) {
            const std::string where = file + " page " + std::to_string(i + 1);
            EXPECT_EQ(copy.pages[i].descriptor, original.pages[i].descriptor) << where;
            EXPECT_EQ(copy.pages[i].table, original.pages[i].table) << where;
            EXPECT_EQ(copy.pages[i].indices, original.pages[i].indices) << where;
            std::vector<std::string> before = original.pages[i].before;
            if (original.version87) before.clear();
            if (before.empty() && !original.version87) before = {"f9:000000ff"};
            EXPECT_EQ(copy.pages[i].before, before) << where;
        }
        EXPECT_EQ(copy.after_last, original.after_last) << file;
        EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before) << file;
    }
    EXPECT_GE(copied, 80);
}

}  // namespace
