// Every GIF of the shared corpus that giflib and our reader both read whole,
// loaded page by page with its metadata and tags and saved again: giflib
// must find the same screen, images, palettes and extension blocks. Two
// differences are the writer's own: an 89a page without extensions before
// its image gets the default graphic control (no delay, no transparency),
// and an 87a file keeps no extensions before its images.
#include "gif_write_support.h"

namespace {

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
    const std::vector<std::string> files = kvtest::corpus_files(".gif");
    int copied = 0;
    for (const std::string& file : files) {
        const std::string path = root + "/" + file;
        const auto original = giftest::giflib_decode(kvtest::read_file(path));
        const auto count = kvhost::gif::page_count(kvhost::gif::Source::file(path));
        if (!original.ok || count.status != 0 || count.count != original.indices.size() || count.count == 0) continue;
        // Read differently from giflib on purpose (see the reader's corpus test).
        if (file == "gif/pygif/invalid-colors.gif") continue;
        std::string failure;
        const auto bytes = copy_pages(path, count.count, &failure);
        if (!failure.empty()) {
            ADD_FAILURE() << file << ": " << failure;
            continue;
        }
        ++copied;
        const auto copy = giftest::giflib_decode(bytes);
        ASSERT_TRUE(copy.ok) << file;
        EXPECT_EQ(copy.screen, original.screen) << file;
        EXPECT_EQ(copy.global_rgb, original.global_rgb) << file;
        ASSERT_EQ(copy.indices.size(), original.indices.size()) << file;
        const bool version87 = original.version == "GIF87a";
        for (size_t i = 0; i < copy.indices.size(); ++i) {
            const std::string where = file + " page " + std::to_string(i + 1);
            EXPECT_EQ(copy.descriptors[i], original.descriptors[i]) << where;
            EXPECT_EQ(copy.rgb[i], original.rgb[i]) << where;
            EXPECT_EQ(copy.indices[i], original.indices[i]) << where;
            std::vector<giftest::GiflibBlock> before = version87 ? std::vector<giftest::GiflibBlock>{} : original.blocks[i];
            if (before.empty() && !version87) before = {{GRAPHICS_EXT_FUNC_CODE, {0, 0, 0, 0xFF}}};
            EXPECT_EQ(copy.blocks[i], before) << where;
        }
        EXPECT_EQ(copy.after_last, original.after_last) << file;
        EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before) << file;
    }
    EXPECT_GE(copied, 80);
}

}  // namespace
