// Every GIF of the shared corpus against giflib: each page's indices and
// palette, and the page count. Where this reader's documented behaviour
// differs from giflib's, the file is listed with the reason and with what
// this reader does instead. Every file giflib reads as we do is copied page
// by page, with its metadata and tags, and giflib must read the copy as the
// original.
#include "gif_test_files.h"
#include "kvhost/gif_save.h"

#include <algorithm>
#include <map>

namespace {

enum class Expect {
    kSame,           // giflib reads the file: indices, palettes and count equal
    kNoTrailer,      // all pages equal; the last load reports -2100 after its rows
    kTruncated,      // data ends inside the image: all rows arrive, the missing ones zero, then -2100
    kEarlyEnd,       // the image data holds too few pixels: zero rows, no error
    kBadCodeSize,    // minimum code size above 8: -2391 before any row
    kBadCode,        // a code above the next code: -2391, rows so far, then zero rows
    kUnknownLabel,   // an extension label outside the four GIF kinds ends the read with -2060
    kStrayBytes,     // bytes that start no block: skipped by the page count, refused by the walk
    kOneBitRows,     // a 1-bit image whose data holds a larger index: it is packed shifted as it is, so a
                     // lone pixel keeps its low bit
    kNoImages,       // no image at all: page count 0, page 1 not found
    kGiflibRejects,  // fuzzer-made or malformed file giflib refuses: read without harm
};

struct Listed {
    Expect expect;
    const char* why;
};

const std::map<std::string, Listed>& listed() {
    static const std::map<std::string, Listed> files = {
        {"gif/derived/muybridge-no-trailer.gif", {Expect::kNoTrailer, "trailer removed"}},
        {"gif/wuffs/hippopotamus.interlaced.truncated.gif", {Expect::kTruncated, "cut at 1024 bytes"}},
        {"gif/libnsgif/afl-000098.gif", {Expect::kTruncated, "fuzzer file cut inside its image data"}},
        {"gif/libnsgif/afl-000188.gif", {Expect::kTruncated, "fuzzer file cut inside its image data"}},
        {"gif/wuffs/artificial-gif/pixel-data-none.gif", {Expect::kEarlyEnd, "no pixels in the data"}},
        {"gif/wuffs/artificial-gif/pixel-data-not-enough.gif", {Expect::kEarlyEnd, "one pixel for four"}},
        {"gif/pillow/issue_2811.gif", {Expect::kBadCodeSize, "minimum code size 11"}},
        {"gif/pygif/max-codes.gif", {Expect::kBadCodeSize, "minimum code size 11"}},
        {"gif/pygif/overflow-codes.gif", {Expect::kBadCodeSize, "minimum code size 12"}},
        {"gif/pygif/overflow-codes-max.gif", {Expect::kBadCodeSize, "minimum code size 255"}},
        {"gif/libnsgif/lzwoob.gif", {Expect::kBadCodeSize, "minimum code size 12"}},
        {"gif/pillow/decompression_bomb.gif", {Expect::kBadCodeSize, "minimum code size 143"}},
        {"gif/pillow/zero_width.gif", {Expect::kBadCodeSize, "minimum code size 143"}},
        {"gif/pygif/image-zero-width.gif", {Expect::kBadCodeSize, "the trailer byte (59) stands for the code size"}},
        {"gif/pygif/invalid-code.gif", {Expect::kBadCode, "code above the next code"}},
        {"gif/libnsgif/lzwof.gif", {Expect::kBadCode, "code 24 right after the clear"}},
        {"gif/libnsgif/afl-000123.gif", {Expect::kBadCode, "fuzzer file with a code above the next code"}},
        {"gif/pygif/unknown-extension.gif", {Expect::kUnknownLabel, "extension label 0x2A"}},
        {"gif/libnsgif/afl-000349.gif", {Expect::kUnknownLabel, "extension label 0x00 after the image"}},
        {"gif/pillow/test_extents_transparency.gif", {Expect::kStrayBytes, "a second header after the first image"}},
        {"gif/pygif/invalid-colors.gif", {Expect::kOneBitRows, "index 5 under a 2-entry table"}},
        {"gif/pygif/no-data.gif", {Expect::kNoImages, "header and trailer only"}},
        {"gif/pygif/zero-size.gif", {Expect::kNoImages, "0x0 screen, no image"}},
        {"gif/pygif/max-size.gif", {Expect::kNoImages, "65535x65535 screen, no image"}},
        {"gif/wuffs/artificial-gif/no-frames.gif", {Expect::kNoImages, "no image"}},
        {"gif/libnsgif/afl-000045.gif", {Expect::kNoImages, "version 88a, extension data cut short"}},
        {"gif/libnsgif/afl-000001.gif", {Expect::kGiflibRejects, "two bytes, no header"}},
        {"gif/libnsgif/afl-000028.gif", {Expect::kGiflibRejects, "signature byte flipped"}},
        {"gif/libnsgif/afl-000029.gif", {Expect::kGiflibRejects, "ends after its colour table"}},
        {"gif/libnsgif/afl-000243.gif", {Expect::kGiflibRejects, "minimum code sizes 0, 1 and 156"}},
        {"gif/libnsgif/afl-000312.gif", {Expect::kGiflibRejects, "minimum code sizes 1 and 12"}},
        {"gif/libnsgif/afl-000317.gif", {Expect::kGiflibRejects, "minimum code size 1, then a bad block byte"}},
        {"gif/libnsgif/afl-000463.gif", {Expect::kGiflibRejects, "minimum code size 0, truncated"}},
        {"gif/pygif/image-zero-size.gif", {Expect::kGiflibRejects, "0x0 image, file ends in its local table"}},
        {"gif/pillow/hopper_zero_comment_subblocks.gif", {Expect::kGiflibRejects, "empty comment giflib refuses"}},
        {"gif/wuffs/artificial-gif/zero-width-frame.gif", {Expect::kGiflibRejects, "0x0 frame with data"}},
    };
    return files;
}

using giftest::indices_of;
using kvtest::codes;
using Oracle = giftest::GiflibImages;

// Our page against giflib's image: indices, and the palette entry by entry.
// The transparent entry may differ: the reader makes its colour unique.
void expect_page_equal(const kvhost::gif::PageResult& r, const Oracle& o, size_t i, const std::string& where) {
    ASSERT_NE(r.image, nullptr) << where;
    EXPECT_EQ(indices_of(*r.image), o.indices[i]) << where;
    std::vector<std::vector<uint8_t>> ours;
    for (size_t k = 0; k * 4 < r.image->palette.size(); ++k) ours.push_back(giftest::rgb(r.image->palette, k));
    const bool transparent = r.has_attribute(KV_ATTR_TRANSPARENT_INDEX);
    for (size_t k = 0; k * 3 < o.rgb[i].size() && k < ours.size(); ++k) {
        const std::vector<uint8_t> theirs(o.rgb[i].begin() + k * 3, o.rgb[i].begin() + k * 3 + 3);
        if (transparent && k == r.attribute(KV_ATTR_TRANSPARENT_INDEX) && ours[k] != theirs) {
            EXPECT_EQ(std::count(ours.begin(), ours.end(), ours[k]), 1) << where << " transparent entry " << k;
        } else {
            EXPECT_EQ(ours[k], theirs) << where << " palette entry " << k;
        }
    }
}

// Saves a loaded page with its metadata and tags as page `page` of `copy`;
// the extensions after an image go with the last page only.
void append_copy(const kvhost::gif::PageResult& r, size_t page, bool last, std::vector<uint8_t>* copy) {
    kvhost::MetadataNode metadata = r.metadata;
    kvhost::TagStore tags = r.tags;
    if (!last) kvhost::gif::drop_after_image_extensions(&metadata, &tags);
    kvhost::gif::SaveOptions options;
    options.append = page > 1;
    options.version = r.settings.version;
    options.interlace = r.settings.interlace != 0;
    options.metadata = &metadata;
    options.tags = &tags;
    const auto saved = kvhost::gif::save_page(kvhost::gif::Destination::memory(copy),
                                              kvhost::gif::SaveImage::from_loaded(*r.image), options);
    EXPECT_TRUE(saved.ok()) << (saved.errors.empty() ? "" : kvhost::describe(saved.errors[0]));
}

TEST(GifCorpus, EveryFileAgainstGiflibAndCopiedPageByPage) {
    KVTEST_NEEDS_CORPUS();
    kvtest::component();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    const std::string root = KVLZW_CORPUS_DIR;
    const std::vector<std::string> files = kvtest::corpus_files(".gif");
    ASSERT_GE(files.size(), 100u) << "corpus missing at " << root;

    std::map<Expect, int> seen;
    for (const std::string& file : files) {
        const std::string path = root + "/" + file;
        const auto found = listed().find(file);
        const Expect expect = found == listed().end() ? Expect::kSame : found->second.expect;
        const std::string where = file + (found == listed().end() ? "" : std::string(" (") + found->second.why + ")");
        ++seen[expect];
        const Oracle o = giftest::giflib_decode(kvtest::read_file(path));
        const auto source = kvhost::gif::Source::file(path);
        const auto count = kvhost::gif::page_count(source);

        switch (expect) {
            case Expect::kSame:
            case Expect::kNoTrailer: {
                ASSERT_TRUE(o.ok || expect == Expect::kNoTrailer) << where << ": giflib cannot read it; list it";
                EXPECT_EQ(count.status, 0) << where;
                ASSERT_EQ(count.count, o.indices.size()) << where;
                std::vector<uint8_t> copy;
                for (size_t i = 0; i < o.indices.size(); ++i) {
                    const auto r = kvhost::gif::load_page(source, i + 1);
                    if (expect == Expect::kNoTrailer && i + 1 == o.indices.size()) {
                        EXPECT_EQ(codes(r.errors), (std::vector<int32_t>{-2100})) << where;
                    } else {
                        EXPECT_TRUE(r.ok()) << where << " page " << i + 1 << ": "
                                            << (r.errors.empty() ? "" : kvhost::describe(r.errors[0]));
                    }
                    expect_page_equal(r, o, i, where + " page " + std::to_string(i + 1));
                    if (expect == Expect::kSame && r.image != nullptr) {
                        append_copy(r, i + 1, i + 1 == o.indices.size(), &copy);
                    }
                }
                if (!copy.empty()) {
                    SCOPED_TRACE(where + " copied");
                    giftest::expect_same_gif(giftest::giflib_decode(copy), o);
                }
                break;
            }
            case Expect::kOneBitRows: {
                ASSERT_TRUE(o.ok) << where;
                const auto r = kvhost::gif::load_page(source, 1);
                ASSERT_TRUE(r.ok()) << where;
                std::vector<uint8_t> low_bits = o.indices[0];
                for (uint8_t& v : low_bits) v &= 1;
                EXPECT_NE(low_bits, o.indices[0]) << where;
                EXPECT_EQ(indices_of(*r.image), low_bits) << where;
                break;
            }
            case Expect::kTruncated:
            case Expect::kEarlyEnd:
            case Expect::kBadCode: {
                const auto r = kvhost::gif::load_page(source, count.count);
                ASSERT_NE(r.image, nullptr) << where;
                EXPECT_EQ(r.image->rows_delivered, r.image->height) << where;
                const auto got = indices_of(*r.image);
                EXPECT_TRUE(got.empty() || got.back() == 0) << where << ": the missing rows are zero";
                const std::map<Expect, std::vector<int32_t>> errors = {
                    {Expect::kTruncated, {-2100}}, {Expect::kEarlyEnd, {}}, {Expect::kBadCode, {-2391}}};
                EXPECT_EQ(codes(r.errors), errors.at(expect)) << where;
                break;
            }
            case Expect::kBadCodeSize: {
                const auto r = kvhost::gif::load_page(source, 1);
                ASSERT_NE(r.image, nullptr) << where;
                EXPECT_EQ(r.image->rows_delivered, 0u) << where;
                ASSERT_EQ(codes(r.errors), (std::vector<int32_t>{-2391})) << where;
                EXPECT_GT(r.errors[0].details[1], 8) << where;
                break;
            }
            case Expect::kUnknownLabel: {
                EXPECT_EQ(codes(count.errors), (std::vector<int32_t>{-2060})) << where;
                bool refused = false;
                for (uint32_t page = 1; page <= std::max<uint32_t>(count.count, 1); ++page) {
                    const auto r = kvhost::gif::load_page(source, page);
                    const auto c = codes(r.errors);
                    refused = refused || std::find(c.begin(), c.end(), -2060) != c.end();
                }
                EXPECT_TRUE(refused) << where;
                break;
            }
            case Expect::kStrayBytes: {
                ASSERT_GE(o.indices.size(), 1u) << where;
                EXPECT_EQ(count.status, 0) << where;
                EXPECT_GT(count.count, o.indices.size()) << where;
                expect_page_equal(kvhost::gif::load_page(source, 1), o, 0, where);
                EXPECT_EQ(codes(kvhost::gif::load_page(source, o.indices.size() + 1).errors),
                          (std::vector<int32_t>{-2060, -2005}))
                    << where;
                break;
            }
            case Expect::kNoImages: {
                EXPECT_TRUE(o.indices.empty()) << where;
                EXPECT_EQ(count.count, 0u) << where;
                const auto r = kvhost::gif::load_page(source, 1);
                EXPECT_EQ(r.image, nullptr) << where;
                EXPECT_EQ(codes(r.errors).back(), -2005) << where;
                break;
            }
            case Expect::kGiflibRejects: {
                EXPECT_FALSE(o.ok) << where << ": giflib reads it now; compare it";
                for (uint32_t page = 1; page <= count.count + 1; ++page) {
                    const auto r = kvhost::gif::load_page(source, page);
                    if (r.image != nullptr && r.image->rows_delivered != 0) {
                        EXPECT_EQ(r.image->rows_delivered, r.image->height) << where << " page " << page;
                    }
                    if (page > count.count) {
                        EXPECT_FALSE(r.ok()) << where << " page " << page;
                    }
                }
                break;
            }
        }
        EXPECT_EQ(kvhost::memory::blocks_outstanding(), blocks_before) << where;
    }
    // The listed files were all found.
    for (const auto& [file, why] : listed()) {
        EXPECT_NE(std::find(files.begin(), files.end(), file), files.end()) << file << " is listed but missing";
    }
    EXPECT_GE(seen[Expect::kSame], 80);
}

}  // namespace
