// Writers of the GIF blocks: header, descriptors with their colour tables,
// extensions and data sub-blocks. Each adds up the byte counts of its writes
// and records a short sum where it finds it.
#include "frame/service_table.h"
#include "gif/gif_writer.h"

#include <algorithm>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;
constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;

int64_t put_byte(HostStream* s, uint32_t value) { return g_host.IO_byte_write(s, static_cast<uint8_t>(value)); }
int64_t put_word(HostStream* s, uint32_t value) { return g_host.IO_word_write(s, static_cast<uint16_t>(value)); }
int64_t put_bytes(HostStream* s, const void* data, uint64_t n) { return static_cast<int64_t>(g_host.IO_write(s, data, n)); }

// The colour table that a packed-fields byte flags (bit 7) and sizes (bits 2-0).
void table_write(HostStream* s, uint8_t fields, const uint8_t* table) {
    if ((fields & 0x80) == 0) return;
    const uint64_t bytes = uint64_t{3} << ((fields & 7) + 1);
    if (put_bytes(s, table, bytes) != static_cast<int64_t>(bytes)) record_error(m, __LINE__, gif_write_err::kTableShort);
}

}  // namespace

HostStatus GIF_header_write(HostStream* s, const GifStreamRecord* rec) {
    int64_t n = put_bytes(s, rec->signature, 3);
    n += put_bytes(s, rec->version, 3);
    if (n != 6) record_error(m, __LINE__, gif_write_err::kBlockShort);
    return error_status();
}

HostStatus GIF_screen_descriptor_write(HostStream* s, const GifStreamRecord* rec) {
    int64_t n = put_word(s, rec->screen_width);
    n += put_word(s, rec->screen_height);
    n += put_byte(s, rec->screen_fields);
    n += put_byte(s, rec->background_index);
    n += put_byte(s, rec->aspect_ratio);
    if (n != 7) {
        record_error(m, __LINE__, gif_write_err::kBlockShort);
    } else {
        table_write(s, rec->screen_fields, rec->global_table);
    }
    return error_status();
}

HostStatus GIF_image_descriptor_write(HostStream* s, const GifStreamRecord* rec) {
    int64_t n = put_byte(s, kImageSeparator);
    n += put_word(s, rec->image_left);
    n += put_word(s, rec->image_top);
    n += put_word(s, rec->image_width);
    n += put_word(s, rec->image_height);
    n += put_byte(s, rec->image_fields);
    if (n != 10) {
        record_error(m, __LINE__, gif_write_err::kBlockShort);
    } else {
        table_write(s, rec->image_fields, rec->local_table);
    }
    return error_status();
}

void GIF_data_subblocks_write(HostStream* s, uint64_t length, const uint8_t* data, const GifSubBlockLayout* layout) {
    // A layout is followed only when it cuts exactly this data, with no
    // empty sub-block (which would end the data early).
    uint64_t laid_out = 0;
    bool empty_block = false;
    for (uint32_t i = 0; layout != nullptr && i < layout->count; ++i) {
        laid_out += layout->sizes[i];
        empty_block = empty_block || layout->sizes[i] == 0;
    }
    if (layout != nullptr && (laid_out != length || empty_block)) layout = nullptr;
    for (uint32_t block = 0; length != 0 && data != nullptr; ++block) {
        const uint64_t n = layout != nullptr ? layout->sizes[block] : std::min<uint64_t>(length, 255);
        const int64_t written = put_byte(s, static_cast<uint32_t>(n)) + put_bytes(s, data, n);
        if (written != static_cast<int64_t>(n + 1)) {
            record_error(m, __LINE__, gif_write_err::kSubBlockShort);
            break;
        }
        data += n;
        length -= n;
    }
    put_byte(s, 0);
}

HostStatus GIF_graphic_control_ext_write(HostStream* s, const GifGraphicControlRecord* r) {
    int64_t n = put_byte(s, kExtensionIntroducer);
    n += put_byte(s, KV_GIF_EXT_GRAPHIC_CONTROL);
    n += put_byte(s, 4);
    n += put_byte(s, r->fields);
    n += put_word(s, r->delay_time);
    n += put_byte(s, r->transparent_index);
    n += put_byte(s, 0);
    if (n != 8) record_error(m, __LINE__, gif_write_err::kBlockShort, 0, 0, KV_GIF_EXT_GRAPHIC_CONTROL);
    return error_status();
}

HostStatus GIF_plain_text_ext_write(HostStream* s, const GifPlainTextRecord* r, const GifSubBlockLayout* layout) {
    int64_t n = put_byte(s, kExtensionIntroducer);
    n += put_byte(s, KV_GIF_EXT_PLAIN_TEXT);
    n += put_byte(s, 12);
    n += put_word(s, r->grid_left);
    n += put_word(s, r->grid_top);
    n += put_word(s, r->grid_width);
    n += put_word(s, r->grid_height);
    n += put_byte(s, r->cell_width);
    n += put_byte(s, r->cell_height);
    n += put_byte(s, r->foreground_index);
    n += put_byte(s, r->background_index);
    if (n != 15) {
        record_error(m, __LINE__, gif_write_err::kBlockShort, 0, n);
    } else {
        GIF_data_subblocks_write(s, r->data_length, r->data, layout);
    }
    return error_status();
}

HostStatus GIF_application_ext_write(HostStream* s, const GifApplicationRecord* r, const GifSubBlockLayout* layout) {
    // The block size byte holds the identifier and the code, so a record
    // filled elsewhere with a longer code is cut to what it can announce.
    const uint32_t code_length = std::min<uint32_t>(r->auth_code_length, kMaxAuthCode);
    int64_t n = put_byte(s, kExtensionIntroducer);
    n += put_byte(s, KV_GIF_EXT_APPLICATION);
    n += put_byte(s, code_length + 8);
    n += put_bytes(s, r->identifier, 8);
    n += put_bytes(s, r->auth_code, code_length);
    if (n != static_cast<int64_t>(code_length) + 11) {
        record_error(m, __LINE__, gif_write_err::kBlockShort, 0, n, KV_GIF_EXT_APPLICATION);
    } else {
        GIF_data_subblocks_write(s, r->data_length, r->data, layout);
    }
    return error_status();
}

HostStatus GIF_comment_ext_write(HostStream* s, const GifCommentRecord* r, const GifSubBlockLayout* layout) {
    int64_t n = put_byte(s, kExtensionIntroducer);
    n += put_byte(s, KV_GIF_EXT_COMMENT);
    if (n != 2) {
        record_error(m, __LINE__, gif_write_err::kBlockShort, 0, 0, KV_GIF_EXT_COMMENT);
    } else {
        GIF_data_subblocks_write(s, r->data_length, r->data, layout);
    }
    return error_status();
}

HostStatus gif_extension_write(HostStream* s, const void* record, const GifSubBlockLayout* layout) {
    switch (*static_cast<const uint32_t*>(record)) {
        case KV_GIF_EXT_GRAPHIC_CONTROL:
            return GIF_graphic_control_ext_write(s, static_cast<const GifGraphicControlRecord*>(record));
        case KV_GIF_EXT_PLAIN_TEXT:
            return GIF_plain_text_ext_write(s, static_cast<const GifPlainTextRecord*>(record), layout);
        case KV_GIF_EXT_APPLICATION:
            return GIF_application_ext_write(s, static_cast<const GifApplicationRecord*>(record), layout);
        case KV_GIF_EXT_COMMENT: return GIF_comment_ext_write(s, static_cast<const GifCommentRecord*>(record), layout);
        default: return record_error(m, __LINE__, gif_write_err::kUnknownLabel);
    }
}

}  // namespace kv
