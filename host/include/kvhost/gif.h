// Reading GIF files through the started component, for applications: one
// page with its pixels, a page's description without pixels, the page count,
// and a reader for several pages of one file. Each call runs on a fresh
// stream, clears this thread's error records first and hands back the ones
// the call made.
#pragma once

#include "kvhost/errors.h"
#include "kvhost/load_sink.h"
#include "kvlzw/abi.h"

#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvhost::gif {

// Where the GIF comes from: a file, or a memory buffer that outlives the call.
struct Source {
    std::string path;
    const uint8_t* data = nullptr;
    size_t size = 0;

    static Source file(std::string file_path) { return Source{std::move(file_path), nullptr, 0}; }
    static Source memory(const uint8_t* bytes, size_t length) { return Source{{}, bytes, length}; }
};

struct PageResult {
    HostStatus status = 0;
    std::vector<ErrorRecord> errors;
    // The decoded image (load_page), or null when none was announced.
    std::unique_ptr<LoadedImage> image;
    // Page information: the description the component created.
    uint32_t width = 0, height = 0, depth = 0;
    std::vector<uint8_t> palette;  // 4 bytes per entry: blue, green, red, 0
    uint32_t info_value = 0;       // what the page information entry wrote
    bool described = false;        // a description was handed back
    std::map<uint32_t, AttributeValue> attributes;
    MetadataNode metadata;  // unnamed root; the "GIF" group is its child
    bool metadata_balanced = true;
    TagStore tags;
    GifSettings settings{};  // version and interlace as the reader wrote them

    bool ok() const { return status == 0; }
    bool has_attribute(uint32_t a) const { return attributes.count(a) != 0; }
    uint64_t attribute(uint32_t a) const;  // 0 when absent
};

struct CountResult {
    HostStatus status = 0;
    std::vector<ErrorRecord> errors;
    uint32_t count = 0;
    bool count_written = false;
};

// Decodes page N (counted from 1; 0 means 1).
PageResult load_page(const Source& source, uint32_t page, bool keep_tags = true);
// Describes page N without decoding its pixels.
PageResult page_info(const Source& source, uint32_t page);
CountResult page_count(const Source& source);

// Several pages of one GIF, read in any order without walking the file from
// its start for each: the reader keeps the file's bytes and remembers where
// each page it has passed begins, so page N costs its own blocks, and the
// pages before it that were never asked for are passed over once. Every
// result is the one load_page or page_info gives for the same page.
class PageReader {
public:
    explicit PageReader(const Source& source);
    ~PageReader();
    PageReader(const PageReader&) = delete;
    PageReader& operator=(const PageReader&) = delete;

    PageResult load(uint32_t page, bool keep_tags = true);
    PageResult info(uint32_t page);
    CountResult count();
    // A test of whether page N's LZW data codes every pixel of the image: a
    // load delivers the rows that a cut or damaged image lacks as zeros, so
    // this tells a partial image from a whole one. The pages before N are
    // passed over here, once, with the reader's own index; the test itself
    // may then run on another thread while this reader loads the page.
    std::function<bool()> completeness_check(uint32_t page);
    // Gives back the memory holding the pages before N, which a load of
    // page N does not read (a large file's pages cost as much to unmap as
    // to map). It may run on another thread while this reader loads page
    // N; a later load of an earlier page reads them from the file again.
    std::function<void()> release_before(uint32_t page);

private:
    struct Bytes;
    std::unique_ptr<Bytes> bytes_;
};

}  // namespace kvhost::gif
