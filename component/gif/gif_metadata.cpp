#include "gif/gif_metadata.h"

#include "frame/service_table.h"

#include <cstring>

namespace kv {
namespace {

constexpr int32_t kErrShort = -2052;
constexpr int32_t kErrBadBlock = -2060;
constexpr uint32_t kTagTypeBytes = 13;

const char* const m = module::kGifRead;

void value(HostStream* s, uint32_t tag, const char* name, uint32_t id, const void* data, int32_t type,
           uint32_t count, int32_t last = 0) {
    g_host.GPr_IO_metad_item_convert_get(s, tag, KV_FORMAT_GIF, name, id, KV_METAD_VALUE, data, type, count, last);
}

void u8_value(HostStream* s, uint32_t tag, const char* name, uint32_t id, uint8_t v) {
    value(s, tag, name, id, &v, KV_METAD_TYPE_U8, 1);
}

void flag_value(HostStream* s, uint32_t tag, const char* name, uint32_t id, uint32_t bit) {
    const uint32_t v = bit & 1u;
    value(s, tag, name, id, &v, KV_METAD_TYPE_FLAG, 1);
}

void u16_value(HostStream* s, uint32_t tag, const char* name, uint32_t id, const uint16_t* v) {
    value(s, tag, name, id, v, KV_METAD_TYPE_U16, 1);
}

uint32_t table_bytes(uint8_t fields) { return 3u << ((fields & 7u) + 1); }

void* new_record(uint32_t tag, uint32_t size) {
    void* record = host_alloc(tag, size, m, __LINE__);
    if (record == nullptr) {
        record_error(m, __LINE__, err::kNoMemory, 0, size, tag);
        return nullptr;
    }
    std::memset(record, 0, size);
    return record;
}

// Reads the extension's data sub-blocks and makes its record with the
// label and the data; null when either fails, with nothing left allocated.
template <typename Record>
Record* record_with_data(HostStream* s, uint32_t tag, uint8_t label, uint8_t** sizes, uint32_t* count) {
    uint32_t length = 0;
    uint8_t* data = nullptr;
    if (gif_read_extension_data(s, tag, &length, &data, sizes, count) != 0) return nullptr;
    auto* record = static_cast<Record*>(new_record(tag, sizeof(Record)));
    if (record == nullptr) {
        host_free(tag, data, m, __LINE__);
        host_free(tag, *sizes, m, __LINE__);
        *sizes = nullptr;
        return nullptr;
    }
    record->label = label;
    record->data_length = length;
    record->data = data;
    return record;
}

// The sub-block sizes of an unusual cut, reported and let go.
void sizes_report(HostStream* s, uint32_t tag, uint8_t* sizes, uint32_t count) {
    if (sizes == nullptr) return;
    value(s, tag, kSubBlockSizesName, kSubBlockSizesId, sizes, KV_METAD_TYPE_BYTES, count);
    host_free(tag, sizes, m, __LINE__);
}

void* parse_graphic_control(HostStream* s, uint32_t tag) {
    uint8_t block_size = 0, fields = 0, index = 0, terminator = 0;
    uint16_t delay = 0;
    int32_t n = g_host.IO_byte_read(s, &block_size);
    n += g_host.IO_byte_read(s, &fields);
    n += g_host.IO_word_read(s, &delay);
    n += g_host.IO_byte_read(s, &index);
    n += g_host.IO_byte_read(s, &terminator);
    if (n != 6) {
        record_error(m, __LINE__, kErrShort, 0, g_host.IO_tell(s));
        return nullptr;
    }
    if (terminator != 0) {
        record_error(m, __LINE__, kErrBadBlock);
        return nullptr;
    }
    auto* record = static_cast<GifGraphicControlRecord*>(new_record(tag, sizeof(GifGraphicControlRecord)));
    if (record == nullptr) return nullptr;
    record->label = KV_GIF_EXT_GRAPHIC_CONTROL;
    record->fields = fields;
    record->delay_time = delay;
    record->transparent_index = index;

    gif_meta_begin(s, "GraphicControlExtension", 249);
    gif_meta_begin(s, "Fields", 3985);
    u8_value(s, tag, "DisposalMethod", 3986, static_cast<uint8_t>((fields >> 2) & 7));
    flag_value(s, tag, "UserInputFlag", 3987, fields >> 1);
    flag_value(s, tag, "TransparentColorFlag", 3988, fields);
    gif_meta_end(s, "Fields", 3985);
    u16_value(s, tag, "DelayTime", 3989, &delay);
    value(s, tag, "TransparentColorIndex", 3990, &index, KV_METAD_TYPE_U8, 1);
    gif_meta_end(s, "GraphicControlExtension", 249);
    return record;
}

void* parse_plain_text(HostStream* s, uint32_t tag) {
    uint8_t block_size = 0;
    uint16_t grid[4] = {0, 0, 0, 0};
    uint8_t cells[4] = {0, 0, 0, 0};  // cell width, cell height, foreground, background
    int32_t n = g_host.IO_byte_read(s, &block_size);
    for (uint16_t& word : grid) n += g_host.IO_word_read(s, &word);
    for (uint8_t& byte : cells) n += g_host.IO_byte_read(s, &byte);
    if (n != 13) {
        record_error(m, __LINE__, kErrShort, 0, g_host.IO_tell(s));
        return nullptr;
    }
    uint8_t* sizes = nullptr;
    uint32_t count = 0;
    auto* record = record_with_data<GifPlainTextRecord>(s, tag, KV_GIF_EXT_PLAIN_TEXT, &sizes, &count);
    if (record == nullptr) return nullptr;
    record->grid_left = grid[0];
    record->grid_top = grid[1];
    record->grid_width = grid[2];
    record->grid_height = grid[3];
    record->cell_width = cells[0];
    record->cell_height = cells[1];
    record->foreground_index = cells[2];
    record->background_index = cells[3];

    gif_meta_begin(s, "PlainTextExtension", 1);
    u16_value(s, tag, "TextGridLeftPosition", 17, &grid[0]);
    u16_value(s, tag, "TextGridTopPosition", 18, &grid[1]);
    u16_value(s, tag, "TextGridWidth", 19, &grid[2]);
    u16_value(s, tag, "TextGridHeight", 20, &grid[3]);
    value(s, tag, "CharacterCellWidth", 21, &cells[0], KV_METAD_TYPE_U8, 1);
    value(s, tag, "CharacterCellHeight", 22, &cells[1], KV_METAD_TYPE_U8, 1);
    value(s, tag, "TextForegroundColorIndex", 23, &cells[2], KV_METAD_TYPE_U8, 1);
    value(s, tag, "TextBackgroundColorIndex", 24, &cells[3], KV_METAD_TYPE_U8, 1);
    value(s, tag, "PlainTextData", 25, record->data, KV_METAD_TYPE_CHARS, record->data_length);
    sizes_report(s, tag, sizes, count);
    gif_meta_end(s, "PlainTextExtension", 1);
    return record;
}

void* parse_comment(HostStream* s, uint32_t tag) {
    uint8_t* sizes = nullptr;
    uint32_t count = 0;
    auto* record = record_with_data<GifCommentRecord>(s, tag, KV_GIF_EXT_COMMENT, &sizes, &count);
    if (record == nullptr) return nullptr;
    value(s, tag, "CommentExtension", 254, record->data, KV_METAD_TYPE_CHARS, record->data_length);
    sizes_report(s, tag, sizes, count);
    return record;
}

void* parse_application(HostStream* s, uint32_t tag) {
    uint8_t block_size = 0;
    uint8_t identifier[8] = {};
    uint8_t code[256] = {};
    int64_t n = g_host.IO_byte_read(s, &block_size);
    n += static_cast<int64_t>(g_host.IO_read(s, identifier, 8));
    const uint8_t code_length = static_cast<uint8_t>(block_size - 8);
    n += static_cast<int64_t>(g_host.IO_read(s, code, code_length));
    if (n != int64_t{block_size} + 1) {
        record_error(m, __LINE__, kErrShort, 0, g_host.IO_tell(s), 255);
        return nullptr;
    }
    uint8_t* sizes = nullptr;
    uint32_t count = 0;
    auto* record = record_with_data<GifApplicationRecord>(s, tag, KV_GIF_EXT_APPLICATION, &sizes, &count);
    if (record == nullptr) return nullptr;
    std::memcpy(record->identifier, identifier, 8);
    std::memcpy(record->auth_code, code, code_length);
    record->auth_code_length = code_length;

    gif_meta_begin(s, "ApplicationExtension", 255);
    value(s, tag, "ApplicationIdentifier", 4081, record->identifier, KV_METAD_TYPE_CHARS, 8);
    value(s, tag, "Appl.AuthenticationCode", 4082, record->auth_code, KV_METAD_TYPE_U8, code_length);
    value(s, tag, "ApplicationData", 4083, record->data, KV_METAD_TYPE_BYTES, record->data_length);
    sizes_report(s, tag, sizes, count);
    gif_meta_end(s, "ApplicationExtension", 255);
    return record;
}

}  // namespace

void gif_meta_begin(HostStream* stream, const char* name, uint32_t id) {
    g_host.IO_metad_item_get(stream, KV_FORMAT_GIF, name, id, KV_METAD_GROUP_BEGIN, nullptr, 0, 0, 1);
}

void gif_meta_end(HostStream* stream, const char* name, uint32_t id) {
    g_host.IO_metad_item_get(stream, KV_FORMAT_GIF, name, id, KV_METAD_GROUP_END, nullptr, 0, 0, 1);
}

void gif_report_header(HostStream* s, uint32_t tag, const GifStreamRecord& rec) {
    char signature[4] = {rec.signature[0], rec.signature[1], rec.signature[2], 0};
    char version[4] = {rec.version[0], rec.version[1], rec.version[2], 0};
    const uint8_t f = rec.screen_fields;
    gif_meta_begin(s, "GIFHeader", gif_id::kHeader);
    value(s, tag, "Signature", 257, signature, KV_METAD_TYPE_CHARS, 3, 1);
    value(s, tag, "Version", 258, version, KV_METAD_TYPE_CHARS, 3, 1);
    gif_meta_end(s, "GIFHeader", gif_id::kHeader);
    gif_meta_begin(s, "LogicalScreenDescriptor", gif_id::kScreen);
    u16_value(s, tag, "LogicalScreenWidth", 513, &rec.screen_width);
    u16_value(s, tag, "LogicalScreenHeight", 514, &rec.screen_height);
    gif_meta_begin(s, "Fields", 517);
    flag_value(s, tag, "GlobalColorTableFlag", 518, f >> 7);
    u8_value(s, tag, "ColorResolution", 519, static_cast<uint8_t>((f >> 4) & 7));
    flag_value(s, tag, "SortFlag", 520, f >> 3);
    u8_value(s, tag, "GlobalColorTableSize", 521, static_cast<uint8_t>(f & 7));
    gif_meta_end(s, "Fields", 517);
    value(s, tag, "BackgroundColorIndex", 515, &rec.background_index, KV_METAD_TYPE_U8, 1);
    value(s, tag, "PixelAspectRatio", 516, &rec.aspect_ratio, KV_METAD_TYPE_U8, 1);
    gif_meta_end(s, "LogicalScreenDescriptor", gif_id::kScreen);
    if ((f & 0x80) != 0) {
        value(s, tag, "GlobalColorTable", gif_id::kGlobalTable, rec.global_table, KV_METAD_TYPE_BYTES, table_bytes(f));
    }
}

void gif_report_image(HostStream* s, uint32_t tag, const GifStreamRecord& rec) {
    const uint8_t f = rec.image_fields;
    gif_meta_begin(s, "ImageDescriptor", gif_id::kImage);
    u16_value(s, tag, "ImageLeftPosition", 705, &rec.image_left);
    u16_value(s, tag, "ImageTopPosition", 706, &rec.image_top);
    u16_value(s, tag, "ImageWidth", 707, &rec.image_width);
    u16_value(s, tag, "ImageHeight", 708, &rec.image_height);
    gif_meta_begin(s, "Fields", 709);
    flag_value(s, tag, "LocalColorTableFlag", 710, f >> 7);
    flag_value(s, tag, "InterlaceFlag", 711, f >> 6);
    flag_value(s, tag, "SortFlag", 712, f >> 5);
    u8_value(s, tag, "LocalColorTableSize", 713, static_cast<uint8_t>(f & 7));
    gif_meta_end(s, "Fields", 709);
    gif_meta_end(s, "ImageDescriptor", gif_id::kImage);
    if ((f & 0x80) != 0) {
        value(s, tag, "LocalColorTable", gif_id::kLocalTable, rec.local_table, KV_METAD_TYPE_BYTES, table_bytes(f));
    }
}

void gif_set_image_tags(HostStream* s, const GifStreamRecord& rec, const GifExtensionList& before) {
    if (g_host.IO_tag_set_exists(s) == 0) return;
    g_host.IO_tag_set(s, KV_GIF_TAG_VERSION, kTagTypeBytes, rec.version, 3);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_SCREEN_WIDTH, &rec.screen_width);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_SCREEN_HEIGHT, &rec.screen_height);
    g_host.IO_tag_byte_set(s, KV_GIF_TAG_SCREEN_FIELDS, &rec.screen_fields);
    g_host.IO_tag_byte_set(s, KV_GIF_TAG_BACKGROUND, &rec.background_index);
    g_host.IO_tag_byte_set(s, KV_GIF_TAG_ASPECT_RATIO, &rec.aspect_ratio);
    g_host.IO_tag_set(s, KV_GIF_TAG_GLOBAL_TABLE, kTagTypeBytes, rec.global_table, 0);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_IMAGE_LEFT, &rec.image_left);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_IMAGE_TOP, &rec.image_top);
    g_host.IO_tag_byte_set(s, KV_GIF_TAG_IMAGE_FIELDS, &rec.image_fields);
    g_host.IO_tag_set(s, KV_GIF_TAG_LOCAL_TABLE, kTagTypeBytes, rec.local_table, 0);
    const uint16_t count = static_cast<uint16_t>(before.count);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_EXTENSION_COUNT, &count);
    for (const GifExtensionNode* node = before.head; node != nullptr; node = node->next) {
        g_host.IO_tag_set(s, KV_GIF_TAG_EXTENSION, kTagTypeBytes, node->record, 0);
    }
}

void gif_set_after_image_tags(HostStream* s, const GifExtensionList& after) {
    if (g_host.IO_tag_set_exists(s) == 0) return;
    const uint16_t count = static_cast<uint16_t>(after.count);
    g_host.IO_tag_word_set(s, KV_GIF_TAG_AFTER_COUNT, &count);
    for (const GifExtensionNode* node = after.head; node != nullptr; node = node->next) {
        g_host.IO_tag_set(s, KV_GIF_TAG_AFTER_EXTENSION, kTagTypeBytes, node->record, 0);
    }
}

HostStatus gif_parse_extension(HostStream* s, uint32_t tag, uint8_t label, GifExtensionList* list) {
    auto* node = static_cast<GifExtensionNode*>(host_alloc(tag, sizeof(GifExtensionNode), m, __LINE__));
    if (node == nullptr) return record_error(m, __LINE__, err::kNoMemory, 0, sizeof(GifExtensionNode), tag);
    void* record = nullptr;
    switch (label) {
        case KV_GIF_EXT_PLAIN_TEXT: record = parse_plain_text(s, tag); break;
        case KV_GIF_EXT_GRAPHIC_CONTROL: record = parse_graphic_control(s, tag); break;
        case KV_GIF_EXT_COMMENT: record = parse_comment(s, tag); break;
        case KV_GIF_EXT_APPLICATION: record = parse_application(s, tag); break;
        default: record_error(m, __LINE__, kErrBadBlock); break;
    }
    if (record == nullptr) {
        host_free(tag, node, m, __LINE__);
        return error_status();
    }
    gif_extension_link(list, node, record);
    return 0;
}

// Data longer than 65535 bytes: the length is a 16-bit value, so the record
// keeps the first 65535 bytes (and reports that length) while the remaining
// sub-blocks are still read to the terminator, leaving the stream where a
// complete read would.
HostStatus gif_read_extension_data(HostStream* s, uint32_t tag, uint32_t* length_out, uint8_t** data_out,
                                   uint8_t** sizes_out, uint32_t* count_out) {
    *length_out = 0;
    *data_out = nullptr;
    if (sizes_out != nullptr) *sizes_out = nullptr;
    // The sizes are kept while they could still be the usual cut: a
    // sub-block other than the last shorter than 255 bytes makes them news.
    uint8_t* sizes = nullptr;
    uint32_t count = 0;
    bool usual = true;
    uint8_t n = 0;
    if (g_host.IO_byte_read(s, &n) != 1) return record_error(m, __LINE__, kErrShort);
    if (n == 0) return 0;
    auto* data = static_cast<uint8_t*>(host_alloc(tag, uint32_t{n} + 1, m, __LINE__));
    if (data == nullptr) return record_error(m, __LINE__, err::kNoMemory, 0, n, tag);
    uint32_t length = 0;
    uint8_t discard[256];
    HostStatus status = 0;
    while (n != 0) {
        const uint32_t keep = n < kMaxExtensionData - length ? n : kMaxExtensionData - length;
        if (keep > 0 && length > 0) {
            auto* grown = static_cast<uint8_t*>(g_host.AF_memm_realloc(tag, data, length + keep + 1, m, __LINE__));
            if (grown == nullptr) {
                status = record_error(m, __LINE__, err::kNoMemory, 0, length + n, tag);
                break;
            }
            data = grown;
        }
        if (g_host.IO_read(s, data + length, keep) != keep) {
            status = record_error(m, __LINE__, kErrShort);
            break;
        }
        if (n > keep && g_host.IO_read(s, discard, n - keep) != uint32_t{n} - keep) {
            status = record_error(m, __LINE__, kErrShort);
            break;
        }
        length += keep;
        if (sizes_out != nullptr && keep == n) {
            if (count > 0 && sizes[count - 1] != 255) usual = false;
            auto* grown = static_cast<uint8_t*>(
                sizes == nullptr ? host_alloc(tag, 256, m, __LINE__)
                : (count & (count - 1)) == 0 && count >= 256 ? g_host.AF_memm_realloc(tag, sizes, count * 2, m, __LINE__)
                                                             : sizes);
            if (grown == nullptr) {
                status = record_error(m, __LINE__, err::kNoMemory, 0, count, tag);
                break;
            }
            sizes = grown;
            sizes[count++] = n;
        }
        if (g_host.IO_byte_read(s, &n) != 1) {
            status = record_error(m, __LINE__, kErrShort);
            break;
        }
    }
    // Data cut to the longest kept has no layout to keep.
    if (status != 0 || usual || length == kMaxExtensionData) {
        host_free(tag, sizes, m, __LINE__);
        sizes = nullptr;
    }
    if (status != 0) {
        host_free(tag, data, m, __LINE__);
        return status;
    }
    if (sizes_out != nullptr) *sizes_out = sizes;
    if (count_out != nullptr) *count_out = count;
    data[length] = 0;
    *length_out = length;
    *data_out = data;
    return 0;
}

}  // namespace kv
