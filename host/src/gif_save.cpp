// Saving one GIF page for applications. The save runs on a memory stream
// holding the existing GIF (when appending), so a failure leaves the
// destination untouched; a file is then replaced whole through a new file
// renamed over it.
#include "gif_filter_access.h"
#include "kvhost/gif_save.h"
#include "kvhost/huge_pages.h"
#include "kvhost/image.h"
#include "kvhost/stream.h"
#include "api_guard.h"
#include "service_impl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace kvhost::gif {
namespace {

constexpr const char* kModule = KVHOST_MODULE("gif_save");
constexpr uint32_t kNewFileMode = 1;
constexpr uint32_t kLookForGifMode = 0;
constexpr uint32_t kMaxSide = 65535;
constexpr uint64_t kReservedOutput = uint64_t{64} << 20;

uint32_t bits_per_pixel(const SaveImage& image) {
    switch (image.kind) {
        case SaveImage::Kind::kPalette: return image.depth;
        case SaveImage::Kind::kGrey: return 8;
        case SaveImage::Kind::kRgb: return 24;
        case SaveImage::Kind::kRgba: return 32;
    }
    return 0;
}

// The image as the host's save source sees it; false (with an error record)
// when its description does not hold together.
bool raster_from(const SaveImage& image, SaveRaster* r) {
    const uint32_t depth = bits_per_pixel(image);
    const bool depth_ok = image.kind == SaveImage::Kind::kPalette ? depth >= 1 && depth <= 8 : image.depth == depth;
    const char* refused = nullptr;
    if (!depth_ok) {
        refused = "no GIF conversion for this kind of image at this depth";
    } else if (image.width == 0 || image.height == 0 || image.width > kMaxSide || image.height > kMaxSide) {
        refused = "a GIF image is 1 to 65535 pixels wide and high";
    } else if (image.palette.size() % 4 != 0 || image.palette.size() > 1024) {
        refused = "a palette holds up to 256 entries of 4 bytes";
    }
    if (refused != nullptr) {
        record_host_error(kModule, __LINE__, host_error::kBadArgument, refused, image.depth);
        return false;
    }
    const uint32_t channels = depth <= 8 ? 1 : depth / 8;
    r->row_size = host_row_size(image.width, depth, channels, 8);
    if (image.pixels.size() < uint64_t{r->row_size} * image.height) {
        record_host_error(kModule, __LINE__, host_error::kBadArgument, "the pixels hold fewer than height rows");
        return false;
    }
    r->kind = static_cast<SaveRaster::Kind>(image.kind);
    r->width = image.width;
    r->height = image.height;
    r->depth = depth;
    r->pixels = image.pixels.data();
    r->palette = image.palette;
    return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return errno == ENOENT;  // no file yet: the page starts a new one
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes the bytes to a new file beside the destination and renames it over.
HostStatus replace_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string temp = path + ".partial-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return record_host_error(kModule, __LINE__, host_error::kStream, "cannot create " + temp);
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp.c_str(), 0666 & ~mask);
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return record_host_error(kModule, __LINE__, host_error::kStream,
                                 "cannot write " + path + ": " + std::strerror(errno));
    }
    return 0;
}

void attributes_set(HostStream& stream, const SaveOptions& options) {
    if (options.delay) stream.sink.attributes[KV_ATTR_DELAY].value = *options.delay;
    if (options.transparent_rgb) {
        const auto& rgb = *options.transparent_rgb;
        stream.sink.attributes[KV_ATTR_TRANSPARENT_COLOR].bytes = {rgb[2], rgb[1], rgb[0]};
    }
}

// An application's buffer lent to the save's stream: it goes back as it
// was, whatever ends the save, unless the page was written.
class LentBuffer {
public:
    LentBuffer(std::vector<uint8_t>* buffer, HostStream* stream) : buffer_(buffer), stream_(stream) {}
    LentBuffer(const LentBuffer&) = delete;
    LentBuffer& operator=(const LentBuffer&) = delete;
    ~LentBuffer() {
        if (buffer_ != nullptr) *buffer_ = memory_stream_take(stream_, true);
    }
    void release() { buffer_ = nullptr; }

private:
    std::vector<uint8_t>* buffer_;
    HostStream* stream_;
};

void page_save(const Destination& destination, const SaveImage& image, const SaveOptions& options) {
    auto save = std::make_unique<SaveSource>();
    if (!raster_from(image, &save->raster)) return;
    HostStatus status = 0;
    auto entry = reinterpret_cast<ImageSaveFn>(gif_entry(KV_OP_SAVE, &status));
    if (entry == nullptr) return;
    // Appending starts from what is there: a memory destination's bytes are
    // moved into the stream (and back on failure) rather than copied, so
    // that a file built page by page is not copied once per page.
    std::vector<uint8_t> existing;
    std::vector<uint8_t>* lent = options.append ? destination.buffer : nullptr;
    if (options.append && lent == nullptr && !read_file(destination.path, &existing)) {
        record_host_error(kModule, __LINE__, host_error::kStream, "cannot read " + destination.path);
        return;
    }
    std::vector<uint8_t>& start = lent != nullptr ? *lent : existing;
    save->metadata = options.metadata;
    save->tags = options.tags;
    // Room for what LZW data usually takes (at most about 1.5 bytes a pixel,
    // up to 64 MiB) at once, so the stream does not copy itself as it grows;
    // pages not written to are never touched.
    const uint64_t room = std::min<uint64_t>(uint64_t{image.width} * image.height * 3 / 2, kReservedOutput);
    start.reserve(start.size() + room + 4096);
    advise_huge_pages(start.data(), start.capacity());
    // The stream exists before it adopts the bytes (which cannot fail), so
    // that no failed allocation can lose them on the way.
    auto stream = memory_stream();
    memory_stream_adopt(stream.get(), std::move(start));
    LentBuffer give_back(lent, stream.get());
    stream->save = std::move(save);
    attributes_set(*stream, options);
    GifSettings settings = default_settings();
    settings.version = options.version;
    settings.interlace = options.interlace ? 1 : 0;
    if (entry(stream.get(), &settings, options.append ? kLookForGifMode : kNewFileMode, nullptr, 0) != 0) return;
    std::vector<uint8_t> bytes = memory_stream_take(stream.get(), false);
    give_back.release();
    bytes.resize(static_cast<size_t>(stream->position));
    if (destination.buffer != nullptr) {
        *destination.buffer = std::move(bytes);
    } else {
        replace_file(destination.path, bytes);
    }
}

// The bytes of the header, screen descriptor and global table at the
// start of a GIF, or 0 when they do not all fit.
size_t header_blocks_size(const std::vector<uint8_t>& gif) {
    constexpr size_t kScreenEnd = 13;
    if (gif.size() < kScreenEnd) return 0;
    const uint8_t fields = gif[10];
    const size_t end = kScreenEnd + ((fields & 0x80) != 0 ? size_t{3} << ((fields & 7) + 1) : 0);
    return end <= gif.size() ? end : 0;
}

// The smallest image: a 1x1 descriptor, code size 2, the codes clear, 0, end.
constexpr uint8_t kStandInImage[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00};
constexpr uint8_t kTrailerByte = 0x3B;

}  // namespace

SaveResult PageWriter::save(const SaveImage& image, const SaveOptions& options) {
    if (!options.append || header_end_ == 0 || gif_->empty() || gif_->back() != kTrailerByte) {
        SaveResult result = save_page(Destination::memory(gif_), image, options);
        header_end_ = result.ok() ? header_blocks_size(*gif_) : 0;
        return result;
    }
    std::vector<uint8_t> stand_in(gif_->begin(), gif_->begin() + static_cast<std::ptrdiff_t>(header_end_));
    stand_in.insert(stand_in.end(), std::begin(kStandInImage), std::end(kStandInImage));
    const size_t old_end = stand_in.size();  // where the new blocks start
    stand_in.push_back(kTrailerByte);
    SaveResult result = save_page(Destination::memory(&stand_in), image, options);
    if (result.ok()) {
        // Grown by doubling, so that the trailer is never lost to a failed allocation halfway.
        const size_t needed = gif_->size() - 1 + (stand_in.size() - old_end);
        if (needed > gif_->capacity()) gif_->reserve(std::max(needed, 2 * gif_->capacity()));
        gif_->pop_back();
        gif_->insert(gif_->end(), stand_in.begin() + static_cast<std::ptrdiff_t>(old_end), stand_in.end());
    }
    return result;
}

SaveImage SaveImage::from_loaded(const LoadedImage& image) {
    SaveImage save;
    switch (image.colorspace) {
        case colorspace::kGrey: save.kind = Kind::kGrey; break;
        case colorspace::kRgb: save.kind = Kind::kRgb; break;
        case colorspace::kRgba: save.kind = Kind::kRgba; break;
        default: save.kind = Kind::kPalette; break;
    }
    save.width = image.width;
    save.height = image.height;
    save.depth = image.depth;
    save.palette = image.palette;
    save.pixels = image.pixels;
    return save;
}

void drop_after_image_extensions(MetadataNode* metadata, TagStore* tags) {
    if (metadata != nullptr) {
        for (MetadataNode& gif : metadata->children) {
            std::erase_if(gif.children, [](const MetadataNode& n) { return n.name == "AfterImageExtensions"; });
        }
    }
    if (tags != nullptr) {
        std::erase_if(tags->entries, [](const TagEntry& e) {
            return e.tag == KV_GIF_TAG_AFTER_COUNT || e.tag == KV_GIF_TAG_AFTER_EXTENSION;
        });
    }
}

SaveResult save_page(const Destination& destination, const SaveImage& image, const SaveOptions& options) {
    clear_errors();
    guarded(kModule, __LINE__, [&] {
        page_save(destination, image, options);
        return HostStatus{0};
    });
    SaveResult result;
    result.errors = error_records();
    result.status = error_status();
    clear_errors();
    return result;
}

}  // namespace kvhost::gif
