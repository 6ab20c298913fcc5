// Where each page's blocks begin in a GIF held in memory, found by passing
// over earlier pages the way the component's page search does, so that a
// load can start at a later page without walking the file from its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvhost::gif {

class PageIndex {
public:
    PageIndex(const uint8_t* data, size_t size);

    // The end of the header, logical screen descriptor and global table;
    // -1 when they are short.
    int64_t header_end() const { return header_end_; }
    // Where the blocks of page N (from 1) begin: the header's end for page 1,
    // else just after the previous image's data terminator. -1 when the
    // component's search would stop on its way there (a trailer, a block it
    // refuses, the end of the data): a load must then take the long way and
    // meet the failure itself.
    int64_t blocks_of(uint32_t page);
    // Whether the page whose blocks begin at `start` (from blocks_of) has
    // LZW data coding all of its pixels before it ends (an end code, a code
    // past the table, a short sub-block or the end of the file). A reader
    // delivers the missing rows as zeros, so only this tells a whole image
    // from a cut one. True when the page cannot be reached (start -1): its
    // load then reports why.
    static bool data_complete(const uint8_t* data, size_t size, int64_t start);

    // Passes over the blocks from `at` through the next image's data as the
    // component's search does: the position after them, or -1 where that
    // search would stop.
    int64_t skip_page(int64_t at) const;

private:

    const uint8_t* data_;
    int64_t size_;
    int64_t header_end_ = -1;
    std::vector<int64_t> starts_;  // starts_[i]: where page i + 1's blocks begin
    bool stuck_ = false;           // the last start is as far as the search goes
};

}  // namespace kvhost::gif
