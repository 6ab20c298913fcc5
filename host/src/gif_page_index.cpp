#include "gif_page_index.h"

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

}  // namespace

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
