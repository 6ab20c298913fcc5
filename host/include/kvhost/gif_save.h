// Writing GIF files through the started component, for applications: one
// page at a time, as a new file or appended to an existing GIF. Each call
// clears this thread's error records first and hands back the ones it made.
#pragma once

#include "kvhost/errors.h"
#include "kvhost/load_sink.h"
#include "kvlzw/abi.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvhost::gif {

// The image to save, in the host row layout of kvlzw/abi.h. The host
// converts it to 1, 4 or 8 bits per pixel (the smallest that holds its
// colours) and refuses what it cannot convert exactly: palette images of 1
// to 8 bits, grey images of 8 bits, and RGB/RGBA images of 8 bits per
// channel with at most 256 distinct colours are accepted.
struct SaveImage {
    enum class Kind { kPalette, kGrey, kRgb, kRgba };
    Kind kind = Kind::kPalette;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 8;            // bits per pixel: 1..8 for kPalette, 8 for kGrey, 24 or 32 otherwise
    std::vector<uint8_t> palette;  // kPalette: 4 bytes per entry (blue, green, red, 0)
    std::vector<uint8_t> pixels;   // height rows of the host row layout, unpadded

    // A decoded page (load_page's image) as an image to save again.
    static SaveImage from_loaded(const LoadedImage& image);
};

struct SaveOptions {
    // false: a new file at the start of the destination (page mode 1);
    // true: appended when the destination already holds a GIF with an image,
    // else written as a new file.
    bool append = false;
    uint32_t version = 89;  // 87 or 89
    bool interlace = false;
    // Stream attribute 2: the default graphic control's delay, hundredths of a second.
    std::optional<uint16_t> delay;
    // Stream attribute 1: the colour (red, green, blue) to make transparent.
    std::optional<std::array<uint8_t, 3>> transparent_rgb;
    // The application's metadata: a tree of the shape load_page reports
    // (a root whose child "GIF", identifier 14, holds the groups and values).
    const MetadataNode* metadata = nullptr;
    // The older numbered tags (1501..1515), as load_page reports them.
    const TagStore* tags = nullptr;
};

// Where the GIF goes: a file, or a memory buffer owned by the caller (its
// bytes are the existing GIF when appending; it holds the result after).
struct Destination {
    std::string path;
    std::vector<uint8_t>* buffer = nullptr;

    static Destination file(std::string file_path) { return Destination{std::move(file_path), nullptr}; }
    static Destination memory(std::vector<uint8_t>* bytes) { return Destination{{}, bytes}; }
};

struct SaveResult {
    HostStatus status = 0;
    std::vector<ErrorRecord> errors;
    bool ok() const { return status == 0; }
};

// A loaded page's metadata and tags made ready to be saved as one page of
// several: the extensions after a page's image are the ones before the next
// page's image, which that page writes, so every page but the last drops them
// (the "AfterImageExtensions" group and tags 1513 and 1514).
void drop_after_image_extensions(MetadataNode* metadata, TagStore* tags);

// Saves one page. A file is replaced whole or left as it was: a failed save
// (new or appended) leaves an existing file byte for byte unchanged, and a
// memory buffer is left as it was too.
SaveResult save_page(const Destination& destination, const SaveImage& image, const SaveOptions& options);

// Several pages saved one after another into one memory buffer, each
// costing its own blocks: save_page appending to a buffer walks every page
// already in it, so a file built page by page would cost the square of its
// page count. The first save is save_page's (the buffer may already hold a
// GIF to append to); the later appends run on a stand-in holding the
// buffer's header blocks and one small image, whose new blocks are then
// moved in over the buffer's trailer. The bytes are those save_page would
// write: an appended page depends on the old data only through its screen
// descriptor and global table. A failed save leaves the buffer as it was.
class PageWriter {
public:
    explicit PageWriter(std::vector<uint8_t>* gif) : gif_(gif) {}
    SaveResult save(const SaveImage& image, const SaveOptions& options);

private:
    std::vector<uint8_t>* gif_;
    size_t header_end_ = 0;  // the header, screen descriptor and global table; 0 until a page is saved
};

}  // namespace kvhost::gif
