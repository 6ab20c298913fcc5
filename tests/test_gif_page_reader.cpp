// The page reader gives, page by page and in any order, exactly what a
// load or description of that page alone gives: pixels, attributes,
// metadata, tags, settings and error records (their stream positions too).
#include "gif_test_files.h"
#include "kvhost/recording.h"

#include <sstream>

using giftest::GifFile;

namespace {

void print_node(std::ostream& out, const kvhost::MetadataNode& node) {
    out << "{" << node.kind << " " << node.name << " " << node.id << " " << node.type << " " << node.count << " "
        << node.has_data << " " << std::string(node.data.begin(), node.data.end());
    for (const auto& child : node.children) print_node(out, child);
    out << "}";
}

// Everything a page call hands back, as text, so that one comparison shows
// where two results part.
std::string everything(const kvhost::gif::PageResult& r) {
    std::ostringstream out;
    out << "status " << r.status << "\n";
    for (const auto& e : r.errors) {
        out << "error " << e.module << ":" << e.line << " " << e.code << " " << e.details[0] << " " << e.details[1]
            << " " << e.details[2] << " " << e.text << "\n";
    }
    if (r.image != nullptr) {
        const kvhost::LoadedImage& i = *r.image;
        out << "image " << i.width << "x" << i.height << " depth " << i.depth << " rows " << i.rows_delivered << "\n";
        out << "pixels " << std::hash<std::string>{}(std::string(i.pixels.begin(), i.pixels.end())) << " palette "
            << std::string(i.palette.begin(), i.palette.end()) << "\n";
        for (int64_t row : i.row_order) out << row << " ";
        out << "\n";
    }
    out << "described " << r.described << " " << r.width << "x" << r.height << " " << r.depth << " " << r.info_value
        << " " << std::string(r.palette.begin(), r.palette.end()) << "\n";
    for (const auto& [id, value] : r.attributes) {
        out << "attribute " << id << " " << value.value << " " << std::string(value.bytes.begin(), value.bytes.end())
            << "\n";
    }
    print_node(out, r.metadata);
    out << "\nbalanced " << r.metadata_balanced << "\n";
    for (const auto& t : r.tags.entries) {
        out << "tag " << t.tag << " " << static_cast<int>(t.kind) << " " << t.word << " "
            << std::string(t.bytes.begin(), t.bytes.end()) << " " << t.extension.label << " "
            << std::string(t.extension.data.begin(), t.extension.data.end()) << "\n";
    }
    out << "settings " << r.settings.version << " " << r.settings.interlace << "\n";
    return out.str();
}

class GifPageReader : public giftest::GifTest {};

TEST_F(GifPageReader, EveryPageInAnyOrderIsWhatALoadOfThatPageGives) {
    KVTEST_NEEDS_CORPUS();
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (const char* name : {"gif/derived/muybridge-no-trailer.gif",
                             "gif/pillow/test_extents_transparency.gif", "gif/pygif/unknown-extension.gif",
                             "gif/wuffs/hippopotamus.interlaced.truncated.gif", "gif/pillow/iss634.gif",
                             "gif/libnsgif/afl-000349.gif"}) {
        files.emplace_back(name, kvtest::read_file(kvtest::corpus_path(name)));
        ASSERT_FALSE(files.back().second.empty()) << name;
    }
    GifFile four = giftest::numbered_pages(4);
    four.bytes.resize(four.bytes.size() - 3);
    files.emplace_back("four pages, the last cut short", four.bytes);
    GifFile stray = GifFile::screen(2, 1);
    stray.image_of(2, 1, {1, 2}, 2).byte(0x00).image_of(2, 1, {3, 0}, 2).trailer();
    files.emplace_back("a stray byte before page 2", stray.bytes);
    GifFile cut = GifFile::screen(2, 1);
    cut.image_of(2, 1, {1, 2}, 2).byte(0x2C).word(0).word(0);
    files.emplace_back("a file cut inside page 2's descriptor", cut.bytes);
    files.emplace_back("a header alone", GifFile::screen(2, 1).bytes);
    files.emplace_back("a short header", std::vector<uint8_t>{'G', 'I', 'F', '8', '9', 'a', 2, 0});

    for (const auto& [name, bytes] : files) {
        const auto source = kvhost::gif::Source::memory(bytes.data(), bytes.size());
        kvhost::gif::PageReader reader(source);
        const auto count = kvhost::gif::page_count(source);
        const auto counted = reader.count();
        EXPECT_EQ(counted.count, count.count) << name;
        EXPECT_EQ(kvtest::codes(counted.errors), kvtest::codes(count.errors)) << name;
        // Forward past the last page, then backward, then a few pages twice.
        std::vector<uint32_t> order;
        for (uint32_t page = 0; page <= count.count + 1; ++page) order.push_back(page);
        for (uint32_t page = count.count + 1; page >= 1; --page) order.push_back(page);
        for (uint32_t page = 1; page <= count.count; page += 7) order.push_back(page);
        for (uint32_t page : order) {
            const std::string where = name + " page " + std::to_string(page);
            EXPECT_EQ(everything(reader.load(page)), everything(kvhost::gif::load_page(source, page))) << where;
            if (page % 3 == 0) {
                EXPECT_EQ(everything(reader.info(page)), everything(kvhost::gif::page_info(source, page))) << where;
            }
        }
    }
}

// The seeks that loading page N makes: the component skips earlier pages
// with them, and the reader lets it start at the page itself.
template <typename Load>
size_t seeks_of(Load load) {
    kvhost::recording::start();
    load();
    kvhost::recording::stop();
    return kvhost::recording::calls_of({"IO_seek"}).size();
}

TEST_F(GifPageReader, AFileSourceSkipsNoEarlierPagesAndAMissingFileReportsAsALoadDoes) {
    KVTEST_NEEDS_CORPUS();
    const auto source = kvhost::gif::Source::file(kvtest::corpus_path("gif/pillow/iss634.gif"));
    kvhost::gif::PageReader reader(source);
    for (uint32_t page : {3u, 1u, 42u, 43u}) {
        EXPECT_EQ(everything(reader.load(page)), everything(kvhost::gif::load_page(source, page))) << page;
    }
    EXPECT_EQ(seeks_of([&] { reader.load(41); }), 0u);
    EXPECT_GT(seeks_of([&] { kvhost::gif::load_page(source, 41); }), 40u);
    // Giving back the pages before 42 (as a decode does beside its load)
    // leaves them readable: earlier pages load as before.
    reader.release_before(42)();
    for (uint32_t page : {2u, 14u, 42u}) {
        EXPECT_EQ(everything(reader.load(page)), everything(kvhost::gif::load_page(source, page))) << page;
    }
    // Page 14's data ends a pixel early; its neighbours are whole.
    EXPECT_FALSE(reader.completeness_check(14)());
    EXPECT_TRUE(reader.completeness_check(13)());
    EXPECT_TRUE(reader.completeness_check(42)());
    const auto missing = kvhost::gif::Source::file(kvtest::temp_path("no-such-file.gif"));
    kvhost::gif::PageReader absent(missing);
    EXPECT_FALSE(absent.load(2).ok());
    EXPECT_EQ(everything(absent.load(2)), everything(kvhost::gif::load_page(missing, 2)));
}

}  // namespace
