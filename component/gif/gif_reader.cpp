// The GIF stream reader: walks the block structure to the wanted image,
// builds its description and palette, sets its attributes and tags, and
// lets the decoder deliver its rows. Also counts the images of a file.
#include "gif/gif_reader.h"

#include "frame/service_table.h"
#include "gif/gif_decoder.h"
#include "gif/gif_entries.h"
#include "gif/gif_metadata.h"

#include <array>
#include <cstring>

namespace kv {
namespace {

constexpr int32_t kErrNotFound = -2005;
constexpr int32_t kErrShort = -2052;
constexpr int32_t kErrBadBlock = -2060;
constexpr int32_t kErrRead = -2100;
constexpr int32_t kErrSeek = -2453;

constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kExtensionIntroducer = 0x21;

const char* const m = module::kGifRead;

// Passed to the host with the image description and as attribute 4.
constexpr uint32_t kConversion[5] = {0, 1, 0, 1, 2};

constexpr uint8_t kDefault2[6] = {0, 0, 0, 255, 255, 255};
constexpr uint8_t kDefault16[48] = {0,   0,   0,   128, 0,   0,   0,   128, 0,   128, 128, 0,   0,   0,   128, 128,
                                    0,   128, 0,   128, 128, 128, 128, 128, 0,   0,   0,   255, 0,   0,   0,   255,
                                    0,   255, 255, 0,   0,   0,   255, 255, 0,   255, 0,   255, 255, 255, 255, 255};
// Entry i: red (i & 3) * 85, green and blue in eight levels, halves rounded up.
constexpr std::array<uint8_t, 768> make_default256() {
    std::array<uint8_t, 768> t{};
    for (int i = 0; i < 256; ++i) {
        t[i * 3] = static_cast<uint8_t>((i & 3) * 85);
        t[i * 3 + 1] = static_cast<uint8_t>((((i >> 2) & 7) * 255 * 2 + 7) / 14);
        t[i * 3 + 2] = static_cast<uint8_t>(((i >> 5) * 255 * 2 + 7) / 14);
    }
    return t;
}
constexpr std::array<uint8_t, 768> kDefault256 = make_default256();

bool is_known_label(uint8_t label) {
    return label == KV_GIF_EXT_PLAIN_TEXT || label == KV_GIF_EXT_GRAPHIC_CONTROL || label == KV_GIF_EXT_COMMENT ||
           label == KV_GIF_EXT_APPLICATION;
}

bool seek_forward(HostStream* s, int64_t n) { return g_host.IO_seek(s, n, 1) >= 0; }

bool skip_sub_blocks(HostStream* s) {
    for (;;) {
        uint8_t length = 0;
        if (g_host.IO_byte_read(s, &length) != 1) return false;
        if (length == 0) return true;
        if (!seek_forward(s, length)) return false;
    }
}

bool skip_image_descriptor(HostStream* s) {
    const int64_t before = g_host.IO_tell(s);
    const int64_t after = g_host.IO_seek(s, 8, 1);
    if (after < 0) return false;
    uint8_t fields = 0;
    if ((after - before) + g_host.IO_byte_read(s, &fields) != 9) return false;
    if ((fields & 0x80) != 0 && !seek_forward(s, int64_t{3} << ((fields & 7) + 1))) return false;
    return true;
}

bool skip_extension(HostStream* s, uint8_t label) {
    switch (label) {
        case KV_GIF_EXT_PLAIN_TEXT: return seek_forward(s, 13) && skip_sub_blocks(s);
        case KV_GIF_EXT_GRAPHIC_CONTROL: return seek_forward(s, 6);
        case KV_GIF_EXT_COMMENT: return skip_sub_blocks(s);
        case KV_GIF_EXT_APPLICATION: {
            uint8_t size = 0;
            if (g_host.IO_byte_read(s, &size) != 1) return false;
            return seek_forward(s, size) && skip_sub_blocks(s);
        }
        default: return false;
    }
}

uint32_t table_entries(const GifStreamRecord& rec) { return 1u << rec.bit_count; }

// Makes the transparent entry's colour unique in the table, so that a host
// that finds transparent pixels by colour finds only that index.
void transparent_fix_up(uint8_t* table, uint32_t n, uint32_t t) {
    if (t >= n) return;
    const uint8_t* colour = table + t * 3;
    bool shared = false;
    for (uint32_t j = 0; j < n && !shared; ++j) {
        shared = j != t && std::memcmp(table + j * 3, colour, 3) == 0;
    }
    if (!shared) return;
    for (int first = 255; first >= 0; --first) {
        const uint8_t candidate[3] = {static_cast<uint8_t>(first), 255, 255};
        bool taken = false;
        for (uint32_t j = 0; j < n && !taken; ++j) taken = std::memcmp(table + j * 3, candidate, 3) == 0;
        if (!taken) {
            std::memcpy(table + t * 3, candidate, 3);
            return;
        }
    }
}

// The local table, else the global one, else a default by bit count, copied
// into the record so that the fix-up never edits the shared constants.
void choose_active_table(GifStreamRecord& rec) {
    if ((rec.image_fields & 0x80) != 0) {
        rec.active_table = rec.local_table;
    } else if ((rec.screen_fields & 0x80) != 0) {
        rec.active_table = rec.global_table;
    } else {
        const uint8_t* source = nullptr;
        size_t size = 0;
        switch (rec.bit_count) {
            case 1: source = kDefault2; size = sizeof kDefault2; break;
            case 4: source = kDefault16; size = sizeof kDefault16; break;
            case 8: source = kDefault256.data(); size = kDefault256.size(); break;
            default: break;
        }
        if (source == nullptr) {
            rec.active_table = nullptr;
            return;
        }
        std::memcpy(rec.default_table, source, size);
        rec.active_table = rec.default_table;
    }
}

uint32_t depth_of(uint8_t bit_count) { return bit_count <= 1 ? 1 : bit_count <= 4 ? 4 : 8; }

enum class Entry { kPageInfo, kLoad, kNext };

struct Read {
    HostStream* s;
    uint32_t tag;
    GifStreamRecord* rec;
    GifSettings* settings;
    uint8_t palette[1024];
    HostDibInfo* dib = nullptr;
};

// Parses or skips everything up to the wanted image and reads its
// descriptor. Returns false after recording the error.
bool find_image(Read& r, Entry entry, uint32_t page, GifExtensionList& before) {
    HostStream* s = r.s;
    GifStreamRecord& rec = *r.rec;
    if (entry != Entry::kNext) {
        if (!gif_read_header_blocks(s, &rec)) {
            record_error(m, __LINE__, kErrNotFound);
            return false;
        }
        gif_report_header(s, r.tag, rec);
    }
    rec.control_present = 0;
    const uint32_t wanted = page == 0 ? 1 : page;
    uint32_t images = 0;
    for (;;) {
        uint8_t byte = 0;
        bool ok = true;
        if (g_host.IO_byte_read(s, &byte) != 1) {
            record_error(m, __LINE__, kErrRead);
            ok = false;
        } else if (byte == kTrailer) {
            ok = false;
        } else if (byte == kImageSeparator) {
            if (++images == wanted) break;
            if (!skip_image_descriptor(s)) {
                ok = false;
            } else if (g_host.IO_seek(s, 1, 1) < 0) {
                record_error(m, __LINE__, kErrSeek);
                ok = false;
            } else {
                ok = skip_sub_blocks(s);
            }
        } else if (byte == kExtensionIntroducer) {
            uint8_t label = 0;
            if (g_host.IO_byte_read(s, &label) != 1) {
                record_error(m, __LINE__, kErrRead);
                ok = false;
            } else if (!is_known_label(label)) {
                record_error(m, __LINE__, kErrBadBlock);
                ok = false;
            } else if (images + 1 == wanted) {
                ok = gif_parse_extension(s, r.tag, label, &before) == 0;
            } else {
                ok = skip_extension(s, label);
            }
        } else {
            record_error(m, __LINE__, kErrBadBlock);
            ok = false;
        }
        if (!ok) {
            record_error(m, __LINE__, kErrNotFound);
            return false;
        }
    }

    int32_t n = g_host.IO_word_read(s, &rec.image_left);
    n += g_host.IO_word_read(s, &rec.image_top);
    n += g_host.IO_word_read(s, &rec.image_width);
    n += g_host.IO_word_read(s, &rec.image_height);
    n += g_host.IO_byte_read(s, &rec.image_fields);
    if (n != 9) {
        record_error(m, __LINE__, kErrShort, 0, g_host.IO_tell(s));
        return false;
    }
    if ((rec.image_fields & 0x80) != 0) {
        rec.bit_count = static_cast<uint8_t>((rec.image_fields & 7) + 1);
        const uint64_t bytes = uint64_t{3} << rec.bit_count;
        if (g_host.IO_read(s, rec.local_table, bytes) != bytes) {
            record_error(m, __LINE__, kErrShort, 0, g_host.IO_tell(s));
            return false;
        }
    } else {
        rec.bit_count = static_cast<uint8_t>((rec.screen_fields & 7) + 1);
    }
    return true;
}

// The walk: finds the image, then applies its tables and graphic control.
bool walk(Read& r, Entry entry, uint32_t page) {
    GifStreamRecord& rec = *r.rec;
    GifExtensionList before;
    before.tag = r.tag;
    const bool found = find_image(r, entry, page, before);
    if (found) {
        if (entry != Entry::kNext) gif_report_image(r.s, r.tag, rec);
        gif_set_image_tags(r.s, rec, before);
        choose_active_table(rec);
        const GifGraphicControlRecord* control = nullptr;
        for (const GifExtensionNode* node = before.head; node != nullptr; node = node->next) {
            if (*static_cast<const uint32_t*>(node->record) == KV_GIF_EXT_GRAPHIC_CONTROL) {
                control = static_cast<const GifGraphicControlRecord*>(node->record);
            }
        }
        if (control != nullptr) {
            rec.control_present = 1;
            rec.control_fields = control->fields;
            rec.delay_time = control->delay_time;
            rec.transparent_index = control->transparent_index;
            // Without an active table there is nothing to fix up.
            if ((rec.control_fields & 1) != 0 && rec.active_table != nullptr) {
                transparent_fix_up(rec.active_table, table_entries(rec), rec.transparent_index);
            }
            g_host.IO_tag_byte_set(r.s, KV_GIF_TAG_TRANSPARENT_INDEX, &rec.transparent_index);
        }
        if (rec.active_table != nullptr) {
            const uint32_t n = table_entries(rec);
            for (uint32_t i = 0; i < n; ++i) {
                r.palette[i * 4] = rec.active_table[i * 3 + 2];
                r.palette[i * 4 + 1] = rec.active_table[i * 3 + 1];
                r.palette[i * 4 + 2] = rec.active_table[i * 3];
                r.palette[i * 4 + 3] = 0;
            }
        }
        r.settings->version = rec.version[1] == '7' ? 87 : 89;
        r.settings->interlace = (rec.image_fields & 0x40) != 0 ? 1 : 0;
    }
    gif_extension_list_free(&before);
    return found;
}

void copy_palette(Read& r) {
    g_host.DIB_palette_alloc(r.dib);
    uint32_t size = g_host.DIB_palette_size_get(r.dib);
    void* target = g_host.DIB_palette_pointer_get(r.dib);
    if (size > sizeof r.palette) size = sizeof r.palette;
    if (target != nullptr && size > 0) std::memcpy(target, r.palette, size);
}

bool create_description(Read& r) {
    const GifStreamRecord& rec = *r.rec;
    if (g_host.DIB_info_create_cnvt_res(&r.dib, rec.image_width, rec.image_height, depth_of(rec.bit_count), 0,
                                        kConversion) != 0) {
        r.dib = nullptr;
        return false;
    }
    copy_palette(r);
    return true;
}

// Announces the image, sets its attributes and decodes its rows.
HostStatus set_up_and_decode(Read& r) {
    HostStream* s = r.s;
    const GifStreamRecord& rec = *r.rec;
    copy_palette(r);
    if (const HostStatus announced = g_host.IO_DIB_create_ex(s, r.dib); announced != 0) return announced;
    g_host.IO_attribute_set(s, KV_ATTR_CONVERSION, reinterpret_cast<uintptr_t>(kConversion));
    if (rec.control_present == 1) {
        if ((rec.control_fields & 1) != 0) {
            // The colour names a table entry only when there is a table and
            // the index lies inside it.
            const uint32_t t = rec.transparent_index;
            if (rec.active_table != nullptr && t < table_entries(rec)) {
                const uint8_t bgr[3] = {rec.active_table[t * 3 + 2], rec.active_table[t * 3 + 1],
                                        rec.active_table[t * 3]};
                g_host.IO_attribute_set(s, KV_ATTR_TRANSPARENT_COLOR, reinterpret_cast<uintptr_t>(bgr));
            }
            g_host.IO_attribute_set(s, KV_ATTR_TRANSPARENT_INDEX, t);
        }
        g_host.IO_attribute_set(s, KV_ATTR_DELAY, rec.delay_time);
        g_host.IO_attribute_set(s, KV_ATTR_DISPOSAL, (rec.control_fields >> 2) & 7);
        const uint64_t position[2] = {rec.image_left, rec.image_top};
        g_host.IO_attribute_set(s, KV_ATTR_POSITION, reinterpret_cast<uintptr_t>(position));
    }
    g_host.IO_attribute_set(s, KV_ATTR_BACKGROUND_INDEX, rec.background_index);
    return gif_decode_image_data(s, r.tag, r.settings, r.dib);
}

// Parses the extensions between the image data and the next block.
void after_image_pass(Read& r) {
    HostStream* s = r.s;
    GifExtensionList after;
    after.tag = r.tag;
    bool opened = false;
    bool set_tags = true;
    for (;;) {
        uint8_t byte = 0;
        if (g_host.IO_byte_read(s, &byte) != 1) {
            record_error(m, __LINE__, kErrRead, 1, 1, 0, "Error reading GIF block");
            break;
        }
        if (byte != kExtensionIntroducer) break;
        uint8_t label = 0;
        if (g_host.IO_byte_read(s, &label) != 1) {
            record_error(m, __LINE__, kErrRead);
            set_tags = false;
            break;
        }
        if (!is_known_label(label)) {
            record_error(m, __LINE__, kErrBadBlock);
            set_tags = false;
            break;
        }
        if (!opened) {
            gif_meta_begin(s, "AfterImageExtensions", gif_id::kAfterImage);
            opened = true;
        }
        if (gif_parse_extension(s, r.tag, label, &after) != 0) {
            set_tags = false;
            break;
        }
    }
    if (opened) gif_meta_end(s, "AfterImageExtensions", gif_id::kAfterImage);
    if (set_tags) gif_set_after_image_tags(s, after);
    gif_extension_list_free(&after);
}

// The three entries that read one image share their start and end.
HostStatus read_image(Entry entry, HostStream* s, GifSettings* settings, GifStreamRecord* rec, uint32_t page,
                      HostDibInfo** dib_out, uint32_t* value_out) {
    GifSettings scratch{};
    Read r{s, 0, rec, settings != nullptr ? settings : &scratch, {}, nullptr};
    std::memset(r.palette, 0, sizeof r.palette);
    const int64_t start = g_host.IO_tell(s);
    g_host.IO_byte_order_set(s, 0);
    r.tag = new_memory_tag(m, __LINE__);
    if (entry != Entry::kNext) gif_meta_begin(s, "GIF", gif_id::kRoot);

    if (walk(r, entry, page)) {
        if (entry == Entry::kPageInfo && value_out != nullptr) *value_out = 8;
        if (create_description(r) && entry != Entry::kPageInfo) {
            if (set_up_and_decode(r) == 0 && entry == Entry::kLoad) after_image_pass(r);
        }
    }

    if (entry != Entry::kNext) gif_meta_end(s, "GIF", gif_id::kRoot);
    host_free_all(r.tag, m, __LINE__);
    if (error_status() != 0) g_host.IO_seek(s, start, 0);
    if (entry == Entry::kPageInfo) {
        if (dib_out != nullptr) {
            *dib_out = r.dib;
        } else if (r.dib != nullptr) {
            g_host.DIB_info_delete(r.dib);
        }
    } else if (r.dib != nullptr) {
        g_host.DIB_info_delete(r.dib);
    }
    return error_status();
}

}  // namespace

bool gif_read_header_blocks(HostStream* s, GifStreamRecord* rec) {
    int64_t n = static_cast<int64_t>(g_host.IO_read(s, rec->signature, 3));
    n += static_cast<int64_t>(g_host.IO_read(s, rec->version, 3));
    n += g_host.IO_word_read(s, &rec->screen_width);
    n += g_host.IO_word_read(s, &rec->screen_height);
    n += g_host.IO_byte_read(s, &rec->screen_fields);
    n += g_host.IO_byte_read(s, &rec->background_index);
    n += g_host.IO_byte_read(s, &rec->aspect_ratio);
    rec->bit_count = static_cast<uint8_t>((rec->screen_fields & 7) + 1);
    if (n != 13) return false;
    if ((rec->screen_fields & 0x80) != 0) {
        const uint64_t bytes = uint64_t{3} << rec->bit_count;
        if (g_host.IO_read(s, rec->global_table, bytes) != bytes) return false;
    }
    return true;
}

HostStatus gif_header_read(HostStream* stream, GifStreamRecord* rec) {
    g_host.IO_seek(stream, 0, 0);
    if (!gif_read_header_blocks(stream, rec)) record_error(m, __LINE__, kErrRead);
    return error_status();
}

HostStatus gif_next_image_load(HostStream* stream, void* settings, GifStreamRecord* rec) {
    return read_image(Entry::kNext, stream, static_cast<GifSettings*>(settings), rec, 1, nullptr, nullptr);
}

HostStatus gif_image_count_walk(HostStream* s, uint32_t, uint32_t* count_out, WalkEnd* end_out, int64_t* stray_out) {
    uint32_t count = 0;
    int64_t stray = -1;
    WalkEnd end = WalkEnd::kInsideBlock;  // unless the walk stops between blocks
    for (;;) {
        uint8_t byte = 0;
        if (g_host.IO_byte_read(s, &byte) != 1) {
            end = WalkEnd::kDataEnd;
            break;
        }
        if (byte == kTrailer) {
            end = WalkEnd::kTrailer;
            break;
        }
        if (byte == kImageSeparator) {
            if (!skip_image_descriptor(s)) break;
            if (g_host.IO_seek(s, 1, 1) < 0) {
                record_error(m, __LINE__, kErrSeek);
                break;
            }
            const bool skipped = skip_sub_blocks(s);
            ++count;
            if (!skipped) break;
        } else if (byte == kExtensionIntroducer) {
            uint8_t label = 0;
            if (g_host.IO_byte_read(s, &label) != 1) {
                record_error(m, __LINE__, kErrRead);
                break;
            }
            if (!is_known_label(label)) {
                record_error(m, __LINE__, kErrBadBlock);
                break;
            }
            if (!skip_extension(s, label)) break;
        } else if (stray_out != nullptr && stray < 0) {
            // Any other byte between blocks is passed over; where the first
            // was is told only when asked for (counting pages asks the host
            // for nothing more).
            stray = g_host.IO_tell(s) - 1;
        }
    }
    if (count_out != nullptr) *count_out = count;
    if (end_out != nullptr) *end_out = end;
    if (stray_out != nullptr) *stray_out = stray;
    return error_status();
}

HostStatus GIF_page_info(HostStream* stream, HostDibInfo** dib_out, uint32_t* value_out, void* settings,
                         uint32_t page) {
    if (dib_out != nullptr) *dib_out = nullptr;
    GifStreamRecord rec{};
    return read_image(Entry::kPageInfo, stream, static_cast<GifSettings*>(settings), &rec, page, dib_out, value_out);
}

HostStatus GIF_image_load(HostStream* stream, void* settings, uint32_t page) {
    GifStreamRecord rec{};
    return read_image(Entry::kLoad, stream, static_cast<GifSettings*>(settings), &rec, page, nullptr, nullptr);
}

HostStatus GIF_page_count(HostStream* stream, void*, uint32_t* count_out) {
    const int64_t start = g_host.IO_tell(stream);
    g_host.IO_byte_order_set(stream, 0);
    const uint32_t tag = new_memory_tag(m, __LINE__);
    GifStreamRecord rec{};
    if (!gif_read_header_blocks(stream, &rec)) {
        record_error(m, __LINE__, kErrShort);
    } else if (gif_image_count_walk(stream, tag, count_out) != 0) {
        g_host.IO_seek(stream, start, 0);
    }
    host_free_all(tag, m, __LINE__);
    return error_status();
}

}  // namespace kv
