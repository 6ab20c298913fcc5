// The metadata tree and tags that a GIF load reports, and the extension
// records behind them.
#include "gif_test_files.h"

#include <numeric>

using giftest::GifFile;
using kvhost::MetadataNode;

namespace {

class GifMetadata : public giftest::GifTest {
protected:
    // The items under a node in order, `depth` levels deep: "name/id(...)"
    // for a group, "name/id:type" for a value, with "=n" for a single number.
    static std::string outline(const MetadataNode& node, int depth = 8) {
        std::string out;
        for (const MetadataNode& c : node.children) {
            out += (out.empty() ? "" : " ") + c.name + "/" + std::to_string(c.id);
            if (c.kind == 1) {
                out += depth > 1 ? "(" + outline(c, depth - 1) + ")" : "";
                continue;
            }
            out += ":" + std::to_string(c.type);
            const bool number = c.type == KV_METAD_TYPE_U8 || c.type == KV_METAD_TYPE_U16;
            if ((number || c.type == KV_METAD_TYPE_FLAG) && c.count == 1) out += "=" + std::to_string(c.number());
        }
        return out;
    }
    static const MetadataNode& root(const kvhost::gif::PageResult& r) {
        static const MetadataNode empty;
        const MetadataNode* gif = r.metadata.child("GIF", 14);
        return gif != nullptr ? *gif : empty;
    }
};

// Every extension kind before the image, and one after it.
GifFile every_extension() {
    GifFile file;
    file.header("89a", 3, 1, 0xFF, giftest::ramp_table(256), 7, 49);
    file.control(0x0D, 300, 4);
    file.plain_text("Hi!");
    file.comment({"abc", "de"});
    file.comment({});
    file.application("NETSCAPE2.0", {3, 1, 0x39, 0x30, 0});
    file.application("ICCRGBG1", {0});
    file.image(5, 6, 3, 1, 0xA0, giftest::ramp_table(2), 2, giftest::encode_literals({0, 1, 0}, 2));
    file.comment({"end"}).trailer();
    return file;
}

// The tree, and the tags with deep copies of the extension records.
TEST_F(GifMetadata, TreeAndTagsOfAFileWithEveryExtensionKind) {
    const auto r = load(every_extension());
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.metadata_balanced);
    ASSERT_EQ(outline(r.metadata, 1), "GIF/14");
    const MetadataNode& gif = root(r);
    // Types: 22 u8, 24 u16, 27 flag, 28 chars, 33 bytes. Numbers from the
    // file: screen 3x1, fields 0xFF, background 7, aspect 49; control
    // fields 0x0D, delay 300, index 4; the text grid every_extension writes;
    // image at (5, 6), 3x1, fields 0xA0.
    EXPECT_EQ(outline(gif),
              "GIFHeader/16(Signature/257:28 Version/258:28) "
              "LogicalScreenDescriptor/32(LogicalScreenWidth/513:24=3 LogicalScreenHeight/514:24=1 "
              "Fields/517(GlobalColorTableFlag/518:27=1 ColorResolution/519:22=7 SortFlag/520:27=1 "
              "GlobalColorTableSize/521:22=7) BackgroundColorIndex/515:22=7 PixelAspectRatio/516:22=49) "
              "GlobalColorTable/48:33 "
              "GraphicControlExtension/249(Fields/3985(DisposalMethod/3986:22=3 UserInputFlag/3987:27=0 "
              "TransparentColorFlag/3988:27=1) DelayTime/3989:24=300 TransparentColorIndex/3990:22=4) "
              "PlainTextExtension/1(TextGridLeftPosition/17:24=1 TextGridTopPosition/18:24=2 TextGridWidth/19:24=30 "
              "TextGridHeight/20:24=8 CharacterCellWidth/21:22=6 CharacterCellHeight/22:22=8 "
              "TextForegroundColorIndex/23:22=1 TextBackgroundColorIndex/24:22=0 PlainTextData/25:28) "
              "CommentExtension/254:28 SubBlockSizes/4084:33 CommentExtension/254:28 "
              "ApplicationExtension/255(ApplicationIdentifier/4081:28 Appl.AuthenticationCode/4082:22 "
              "ApplicationData/4083:33) "
              "ApplicationExtension/255(ApplicationIdentifier/4081:28 Appl.AuthenticationCode/4082:22 "
              "ApplicationData/4083:33) "
              "ImageDescriptor/44(ImageLeftPosition/705:24=5 ImageTopPosition/706:24=6 ImageWidth/707:24=3 "
              "ImageHeight/708:24=1 Fields/709(LocalColorTableFlag/710:27=1 InterlaceFlag/711:27=0 "
              "SortFlag/712:27=1 LocalColorTableSize/713:22=0)) "
              "LocalColorTable/64:33 AfterImageExtensions/4095(CommentExtension/254:28)");

    const MetadataNode& header = gif.children[0];
    EXPECT_EQ(header.children[0].text(), "GIF");
    EXPECT_EQ(header.children[1].text(), "89a");
    EXPECT_EQ(header.children[1].last, 1);
    EXPECT_EQ(gif.children[2].count, 768u);
    EXPECT_EQ(gif.children[2].data, giftest::ramp_table(256));
    EXPECT_EQ(gif.children[4].children[8].text(), "Hi!");
    EXPECT_EQ(gif.children[5].count, 5u);  // sub-blocks of 3 and 2 bytes, joined
    EXPECT_EQ(gif.children[5].text(), "abcde");
    EXPECT_EQ(gif.children[6].data, (std::vector<uint8_t>{3, 2}));  // and their cut, not the usual one
    EXPECT_EQ(gif.children[7].count, 0u);  // empty comment: no data at all
    EXPECT_FALSE(gif.children[7].has_data);
    const MetadataNode& netscape = gif.children[8];  // a usual cut: no sizes
    EXPECT_EQ(netscape.children.size(), 3u);
    EXPECT_EQ(netscape.children[0].text(), "NETSCAPE");
    EXPECT_EQ(netscape.children[1].text(), "2.0");
    EXPECT_EQ(netscape.children[2].data, (std::vector<uint8_t>{1, 0x39, 0x30}));
    EXPECT_EQ(gif.children[9].children[1].count, 0u);  // block size 8: no authentication code
    EXPECT_EQ(gif.children[11].count, 6u);  // local size field 0: two entries

    std::vector<uint32_t> order;
    for (const auto& tag : r.tags.entries) order.push_back(tag.tag);
    EXPECT_EQ(order, (std::vector<uint32_t>{1500, 1505, 1504, 1503, 1502, 1501, 1506, 1507, 1508, 1509, 1510, 1511,
                                            1512, 1512, 1512, 1512, 1512, 1512, 1515, 1513, 1514}));
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_VERSION)->bytes, (std::vector<uint8_t>{'8', '9', 'a'}));
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_SCREEN_FIELDS)->bytes[0], 0xFF);
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_GLOBAL_TABLE)->bytes, giftest::ramp_table(256));
    const auto& local = r.tags.find(KV_GIF_TAG_LOCAL_TABLE)->bytes;
    ASSERT_EQ(local.size(), 768u);
    EXPECT_EQ(std::vector<uint8_t>(local.begin(), local.begin() + 6), giftest::ramp_table(2));
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_EXTENSION_COUNT)->word, 6);
    const auto records = r.tags.all(KV_GIF_TAG_EXTENSION);
    EXPECT_EQ(records[0]->extension.label, 0xF9u);
    EXPECT_EQ(records[0]->extension.delay_time, 300u);
    EXPECT_EQ(records[1]->extension.label, 0x01u);
    EXPECT_EQ(records[1]->extension.cell_height, 8u);
    EXPECT_EQ(records[2]->extension.data, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e'}));
    EXPECT_FALSE(records[3]->extension.has_data);
    EXPECT_EQ(std::string(records[4]->extension.auth_code.begin(), records[4]->extension.auth_code.end()), "2.0");
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_TRANSPARENT_INDEX)->bytes[0], 4);
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_AFTER_COUNT)->word, 1);

    // A stream that keeps no tags gets only the transparent index.
    const auto untagged = load(every_extension(), 1, false);
    ASSERT_EQ(untagged.tags.entries.size(), 1u);
    EXPECT_EQ(untagged.tags.entries[0].tag, 1515u);
}

TEST_F(GifMetadata, ExtensionsBetweenTwoImagesBelongToBothLoads) {
    GifFile file = GifFile::screen(1, 1, 2).image_of(1, 1, {1}, 2);
    file.control(0x04, 25, 0).image_of(1, 1, {0}, 2).trailer();
    const auto first = load(file, 1);
    const MetadataNode* after = root(first).child("AfterImageExtensions", 4095);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(outline(*after, 1), "GraphicControlExtension/249");
    // Nothing after the last image: no group, and tag 1513 is 0.
    const auto second = load(file, 2);
    EXPECT_EQ(outline(root(second), 1), "GIFHeader/16 LogicalScreenDescriptor/32 GlobalColorTable/48:33 "
                                        "GraphicControlExtension/249 ImageDescriptor/44");
    EXPECT_EQ(second.tags.find(KV_GIF_TAG_AFTER_COUNT)->word, 0);
    EXPECT_TRUE(second.tags.all(KV_GIF_TAG_AFTER_EXTENSION).empty());
    // Page information stops after the image's tables.
    const auto info = kvhost::gif::page_info(source(file), 1);
    EXPECT_EQ(outline(root(info), 1),
              "GIFHeader/16 LogicalScreenDescriptor/32 GlobalColorTable/48:33 ImageDescriptor/44");
}

TEST_F(GifMetadata, ExtensionDataLongerThan65535BytesIsCut) {
    // 300 sub-blocks of 255 bytes: the record keeps the first 65535 bytes,
    // the rest is read and dropped, and the image after it still loads.
    std::vector<std::string> blocks;
    for (int i = 0; i < 300; ++i) blocks.emplace_back(255, static_cast<char>('A' + i % 26));
    const auto r = load(GifFile::screen(1, 1, 2).comment(blocks).image_of(1, 1, {1}, 2).trailer());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.image->row(0)[0], 0x80);
    const MetadataNode* comment = root(r).child("CommentExtension");
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(comment->count, 65535u);
    EXPECT_EQ(comment->text(), std::accumulate(blocks.begin(), blocks.end(), std::string()).substr(0, 65535));
    EXPECT_EQ(r.tags.find(KV_GIF_TAG_EXTENSION)->extension.data.size(), 65535u);
}

TEST_F(GifMetadata, BrokenExtensionsEndTheWalk) {
    // A control block with a bad terminator, a comment and an application
    // block cut short, an unknown label: each ends the walk, the page is
    // then not found, and a failed parse reports nothing.
    const struct {
        GifFile file;
        int32_t code;
    } cases[] = {
        {GifFile::screen(1, 1, 2).control(0, 0, 0, 7).image_of(1, 1, {1}, 2), -2060},
        {GifFile::screen(1, 1, 2).byte(0x21).byte(0xFE).byte(10).raw({'a', 'b'}), -2052},
        {GifFile::screen(1, 1, 2).byte(0x21).byte(0xFF).byte(3).raw({'a'}), -2052},  // the application block
        {GifFile::screen(1, 1, 2).byte(0x21).byte(0x2A).byte(0).image_of(1, 1, {1}, 2), -2060},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const auto r = load(c.file);
        EXPECT_TRUE(kvtest::error_codes().empty());  // handed back with the result
        EXPECT_EQ(kvtest::codes(r.errors), (std::vector<int32_t>{c.code, -2005}));
        EXPECT_EQ(root(r).child("GraphicControlExtension"), nullptr);
        EXPECT_TRUE(r.metadata_balanced);
        if (&c == &cases[2]) {
            EXPECT_EQ(r.errors.at(0).details[2], 255);
        }
    }
}

}  // namespace
