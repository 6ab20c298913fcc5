#include "gif_page_index.h"

#include <algorithm>
#include <cstring>

namespace kvhost::gif {
namespace {

constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kExtensionIntroducer = 0x21;

// A cursor with the component's stream manners: a byte is read only inside
// the data, while moving forward may pass its end (the next read fails).
struct Cursor {
    const uint8_t* data;
    int64_t size;
    int64_t at;

    bool byte(uint8_t* out) {
        if (at >= size) return false;
        *out = data[at++];
        return true;
    }
    void forward(int64_t n) { at += n; }
    bool sub_blocks() {
        for (uint8_t length = 0;;) {
            if (!byte(&length)) return false;
            if (length == 0) return true;
            forward(length);
        }
    }
    bool image() {
        forward(8);
        uint8_t fields = 0;
        if (!byte(&fields)) return false;
        if ((fields & 0x80) != 0) forward(int64_t{3} << ((fields & 7) + 1));
        forward(1);  // the minimum code size
        return sub_blocks();
    }
    bool extension() {
        uint8_t label = 0;
        if (!byte(&label)) return false;
        switch (label) {
            case 0x01: forward(13); return sub_blocks();
            case 0xF9: forward(6); return true;
            case 0xFE: return sub_blocks();
            case 0xFF: {
                uint8_t size_byte = 0;
                if (!byte(&size_byte)) return false;
                forward(size_byte);
                return sub_blocks();
            }
            default: return false;
        }
    }
};

// The bits of GIF LZW data, taken from its sub-blocks: eight bytes at a
// time inside a sub-block, byte by byte across their boundaries.
struct CodeBits {
    Cursor& c;
    int64_t block_end;  // where the current sub-block's bytes end
    uint64_t bits = 0;
    uint32_t held = 0;

    explicit CodeBits(Cursor& cursor) : c(cursor), block_end(cursor.at) {}

    // False when the data ends (a zero-length sub-block, the end of the
    // file) before `width` bits are held.
    bool hold(uint32_t width) {
        if (held >= width) return true;
        if (std::min(block_end, c.size) - c.at >= 8) {
            uint64_t word = 0;
            std::memcpy(&word, c.data + c.at, sizeof word);
            bits |= word << held;
            const uint32_t taken = (63 - held) >> 3;
            c.at += taken;
            held += taken * 8;
            return true;
        }
        while (held < width) {
            if (c.at == block_end) {
                uint8_t length = 0;
                if (!c.byte(&length) || length == 0) return false;
                block_end = c.at + length;
            }
            uint8_t b = 0;
            if (!c.byte(&b)) return false;
            bits |= uint64_t{b} << held;
            held += 8;
        }
        return true;
    }
    uint32_t take(uint32_t width) {
        const uint32_t code = static_cast<uint32_t>(bits & ((1u << width) - 1));
        bits >>= width;
        held -= width;
        return code;
    }
};

// The pixels that GIF LZW data codes, stopping at `wanted`: only the
// length of each code's string is followed, as the decoder would build it.
uint64_t pixels_coded(Cursor& c, uint32_t min_size, uint64_t wanted) {
    if (min_size > 8) return 0;
    constexpr uint32_t kCodes = 4096;
    uint16_t length[kCodes];
    const uint32_t clear = 1u << min_size, end = clear + 1;
    uint32_t width = min_size + 1, next = clear + 2, previous = kCodes;
    bool last_defined = false;
    for (uint32_t i = 0; i < clear; ++i) length[i] = 1;
    uint64_t pixels = 0;
    CodeBits in(c);
    while (pixels < wanted) {
        if (!in.hold(width)) return pixels;
        const uint32_t code = in.take(width);
        if (code == end || code > next) return pixels;
        if (code == clear) {
            width = min_size + 1, next = clear + 2, previous = kCodes;
            last_defined = false;
            continue;
        }
        if (previous == kCodes) {
            pixels += 1;
            previous = code;
            continue;
        }
        // The last entry stays the next one once the table is full, and is
        // defined again by every code after its first definition.
        const bool defined = code < next || (code == kCodes - 1 && last_defined);
        const uint32_t grown = length[previous] + 1u;
        pixels += defined ? length[code] : grown;
        length[next] = static_cast<uint16_t>(std::min<uint32_t>(grown, UINT16_MAX));
        last_defined = last_defined || next == kCodes - 1;
        if (next < kCodes - 1 && ++next == (1u << width) && width < 12) ++width;
        previous = code;
    }
    return pixels;
}

}  // namespace

bool PageIndex::data_complete(const uint8_t* data, size_t size, int64_t start) {
    if (start < 0) return true;
    Cursor c{data, static_cast<int64_t>(size), start};
    for (uint8_t byte = 0;;) {
        if (!c.byte(&byte)) return true;
        if (byte == kImageSeparator) break;
        if (byte != kExtensionIntroducer || !c.extension()) return true;
    }
    c.forward(4);
    uint8_t fields[5] = {};  // width, height, flags
    for (uint8_t& b : fields) {
        if (!c.byte(&b)) return false;
    }
    const uint64_t pixels = static_cast<uint64_t>(fields[0] | fields[1] << 8u) * (fields[2] | fields[3] << 8u);
    if ((fields[4] & 0x80) != 0) c.forward(int64_t{3} << ((fields[4] & 7) + 1));
    uint8_t min_size = 0;
    if (!c.byte(&min_size)) return pixels == 0;
    return pixels_coded(c, min_size, pixels) >= pixels;
}

PageIndex::PageIndex(const uint8_t* data, size_t size) : data_(data), size_(static_cast<int64_t>(size)) {
    constexpr int64_t kHeader = 13;
    if (size_ < kHeader) return;
    const uint8_t fields = data_[10];
    const int64_t end = kHeader + ((fields & 0x80) != 0 ? int64_t{3} << ((fields & 7) + 1) : 0);
    if (end > size_) return;
    header_end_ = end;
    starts_.push_back(end);
}

int64_t PageIndex::skip_page(int64_t at) const {
    Cursor c{data_, size_, at};
    for (;;) {
        uint8_t byte = 0;
        if (!c.byte(&byte)) return -1;
        if (byte == kImageSeparator) return c.image() ? c.at : -1;
        if (byte != kExtensionIntroducer || !c.extension()) return -1;
    }
}

int64_t PageIndex::blocks_of(uint32_t page) {
    if (starts_.empty()) return -1;
    const size_t wanted = page == 0 ? 0 : page - 1;
    while (starts_.size() <= wanted && !stuck_) {
        const int64_t next = skip_page(starts_.back());
        if (next < 0) {
            stuck_ = true;
        } else {
            starts_.push_back(next);
        }
    }
    return wanted < starts_.size() ? starts_[wanted] : -1;
}

}  // namespace kvhost::gif
