// The GIF save entry and the page writer: a new file (header, screen
// descriptor, global table), or one more image appended over the trailer of
// the GIF already in the stream.
#include "frame/service_table.h"
#include "gif/gif_entries.h"
#include "gif/gif_reader.h"
#include "gif/gif_writer.h"

#include <algorithm>
#include <cstring>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;
constexpr uint32_t kPaletteBytes = 1024;
constexpr uint32_t kNewFileMode = 1;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint32_t kTagTypeTable = 13;

bool is_gif_signature(const GifStreamRecord& rec) {
    return std::memcmp(rec.signature, "GIF", 3) == 0 && rec.version[0] == '8' &&
           (rec.version[1] == '7' || rec.version[1] == '9') && rec.version[2] == 'a';
}

// The palette entries (blue, green, red, 0) as a colour table (red, green, blue).
void table_from_palette(const uint8_t* palette, uint32_t depth, uint8_t* table) {
    for (uint32_t i = 0; i < (1u << depth); ++i) {
        table[i * 3] = palette[i * 4 + 2];
        table[i * 3 + 1] = palette[i * 4 + 1];
        table[i * 3 + 2] = palette[i * 4];
    }
}

bool palette_matches_table(const uint8_t* palette, uint32_t depth, const uint8_t* table) {
    uint8_t own[KV_GIF_TABLE_BYTES];
    table_from_palette(palette, depth, own);
    return std::memcmp(own, table, size_t{3} << depth) == 0;
}

// Where the page goes: appended after the images already in the stream, or
// (the result false) as a new file. Appending steps back over the old trailer
// only when there is one, so the last byte of a file without it stays. Old
// data that breaks off inside a block is refused: a page written after it
// would be read as the rest of that block, and never as a page. So is old
// data with a byte between its blocks that starts none: a reader stops there.
HostStatus append_position_find(HostStream* s, uint32_t tag, GifStreamRecord* rec, bool* append) {
    *append = false;
    if (!gif_read_header_blocks(s, rec) || !is_gif_signature(*rec)) return error_status();
    uint32_t images = 0;
    WalkEnd end = WalkEnd::kDataEnd;
    int64_t stray = -1;
    if (gif_image_count_walk(s, tag, &images, &end, &stray) != 0) return error_status();
    if (images == 0) return 0;
    if (end == WalkEnd::kInsideBlock) {
        return record_error(m, __LINE__, gif_write_err::kOldBlockShort, 0, g_host.IO_tell(s));
    }
    if (stray >= 0) return record_error(m, __LINE__, gif_write_err::kOldByteNoBlock, 0, stray);
    *append = true;
    if (end == WalkEnd::kTrailer && g_host.IO_seek(s, -1, 1) < 0) record_error(m, __LINE__, gif_write_err::kSeek);
    return error_status();
}

// The palette index of the stream's transparent colour (blue, green, red), or -1.
int32_t transparent_index_find(HostStream* s, const uint8_t* palette, uint32_t depth) {
    uint8_t colour[3] = {0, 0, 0};
    if (g_host.IO_attribute_get(s, KV_ATTR_TRANSPARENT_COLOR, colour) == 0) return -1;
    for (uint32_t i = 0; i < (1u << depth); ++i) {
        if (std::memcmp(palette + i * 4, colour, 3) == 0) return static_cast<int32_t>(i);
    }
    return -1;
}

HostStatus default_graphic_control_write(HostStream* s, const uint8_t* palette, uint32_t depth) {
    uint16_t delay = 0;
    g_host.IO_attribute_get(s, KV_ATTR_DELAY, &delay);
    const int32_t transparent = transparent_index_find(s, palette, depth);
    GifGraphicControlRecord control{KV_GIF_EXT_GRAPHIC_CONTROL, transparent >= 0 ? 1u : 0u, delay,
                                    static_cast<uint8_t>(transparent >= 0 ? transparent : 255)};
    return GIF_graphic_control_ext_write(s, &control);
}

// Every record of the list by its label; each node counts, and a failing
// record does not keep the others from being written.
uint32_t extension_list_write(HostStream* s, const GifExtensionList& list, const GifCollectedMetadata& collected) {
    uint32_t counted = 0;
    for (const GifExtensionNode* node = list.head; node != nullptr; node = node->next) {
        if (node->record != nullptr) gif_extension_write(s, node->record, collected.layout_of(node->record));
        ++counted;
    }
    return counted;
}

struct PageWrite {
    HostStream* s;
    uint32_t tag;
    const GifSettings* settings;
    HostDibInfo* image;
    const uint8_t* palette;
    uint32_t depth;
    bool tags_exist;
    uint32_t tag_type = kTagTypeTable;
    GifStreamRecord rec{};
    GifCollectedMetadata collected{};

    HostStatus new_file_start(int64_t start) {
        std::memset(&rec, 0, sizeof rec);
        std::memcpy(rec.signature, "GIF", 3);
        std::memcpy(rec.version, settings->version == 87 ? "87a" : "89a", 3);
        if (g_host.IO_seek(s, start, 0) < 0) return record_error(m, __LINE__, gif_write_err::kSeek);
        if (GIF_header_write(s, &rec) != 0) return error_status();
        rec.screen_width = static_cast<uint16_t>(g_host.DIB_width_get(image));
        rec.screen_height = static_cast<uint16_t>(g_host.DIB_height_get(image));
        rec.screen_fields = static_cast<uint8_t>(0x80 | (depth - 1));
        table_from_palette(palette, depth, rec.global_table);
        bool replaced = false;
        HostStatus status = gif_screen_fields_announce(s, tag, &rec, depth, &replaced);
        if (collected.global_table != nullptr) std::memcpy(rec.global_table, collected.global_table, KV_GIF_TABLE_BYTES);
        if (status == 0 && tags_exist) {
            if (!replaced) gif_screen_tags_apply(s, &rec);
            if (collected.global_table == nullptr) {
                status = gif_table_tag_apply(s, tag, KV_GIF_TAG_GLOBAL_TABLE, &tag_type, rec.global_table);
            }
        }
        if (status != 0) return status;
        return GIF_screen_descriptor_write(s, &rec);
    }

    HostStatus before_image_extensions_write() {
        uint32_t counted = 0;
        if (collected.before.head != nullptr) {
            counted = extension_list_write(s, collected.before, collected);
        } else if (tags_exist) {
            gif_tag_records_write(s, &tag_type, KV_GIF_TAG_EXTENSION_COUNT, KV_GIF_TAG_EXTENSION, &counted);
        }
        if (counted == 0 && error_status() == 0) default_graphic_control_write(s, palette, depth);
        return error_status();
    }

    HostStatus image_descriptor_write(bool append) {
        rec.image_left = 0;
        rec.image_top = 0;
        rec.image_width = static_cast<uint16_t>(g_host.DIB_width_get(image));
        rec.image_height = static_cast<uint16_t>(g_host.DIB_height_get(image));
        rec.image_fields = settings->interlace != 0 ? 0x40 : 0;
        const bool local_table = append && (depth != static_cast<uint32_t>((rec.screen_fields & 7) + 1) ||
                                            !palette_matches_table(palette, depth, rec.global_table));
        if (local_table) rec.image_fields |= static_cast<uint8_t>(0x80 | (depth - 1));
        table_from_palette(palette, depth, rec.local_table);
        HostStatus status = gif_image_fields_announce(s, tag, &rec, depth, local_table, settings);
        if (collected.local_table != nullptr) std::memcpy(rec.local_table, collected.local_table, KV_GIF_TABLE_BYTES);
        if (status == 0 && tags_exist) {
            gif_image_tags_apply(s, &rec);
            if (collected.local_table == nullptr) {
                status = gif_table_tag_apply(s, tag, KV_GIF_TAG_LOCAL_TABLE, &tag_type, rec.local_table);
            }
        }
        if (status != 0) return status;
        return GIF_image_descriptor_write(s, &rec);
    }

    HostStatus after_image_extensions_write() {
        if (collected.after.head != nullptr) {
            extension_list_write(s, collected.after, collected);
        } else if (tags_exist) {
            uint32_t counted = 0;
            gif_tag_records_write(s, &tag_type, KV_GIF_TAG_AFTER_COUNT, KV_GIF_TAG_AFTER_EXTENSION, &counted);
        }
        return error_status();
    }

    // Steps that stop at the first failure; the caller closes the group.
    HostStatus blocks_write(bool append, int64_t start) {
        if (!append && new_file_start(start) != 0) return error_status();
        // Only version 89 writes extensions before the image: 87, or any
        // other value (whose header says "89a"), writes none.
        if (settings->version == 89 && before_image_extensions_write() != 0) return error_status();
        if (image_descriptor_write(append) != 0) return error_status();
        if (GIF_image_data_write(s, tag, image, settings) != 0) return error_status();
        return after_image_extensions_write();
    }
};

void group_announce(HostStream* s, const char* name, uint32_t id, int32_t kind) {
    void* value = nullptr;
    int32_t type = 0;
    uint32_t count = 0;
    g_host.IO_metad_item_set(s, KV_FORMAT_GIF, name, id, kind, nullptr, 0, 0, 1, &value, &type, &count);
}

}  // namespace

HostStatus GIF_page_write(HostStream* s, uint32_t tag, const GifSettings* settings, uint32_t page_mode,
                          HostDibInfo* image, const uint8_t* palette) {
    PageWrite page{s, tag, settings, image, palette, g_host.DIB_bit_depth_get(image), false};
    page.collected.before.tag = page.collected.after.tag = tag;
    g_host.IO_byte_order_set(s, 0);
    const int64_t start = g_host.IO_tell(s);
    bool append = false;
    HostStatus status = page_mode != kNewFileMode ? append_position_find(s, tag, &page.rec, &append) : 0;
    if (status == 0) status = GIF_metadata_collect(s, tag, &page.collected);
    if (status == 0) {
        group_announce(s, "GIF", KV_FORMAT_GIF, KV_METAD_GROUP_BEGIN);
        page.tags_exist = g_host.IO_tag_get_exists(s) != 0;
        status = page.blocks_write(append, start);
    }
    group_announce(s, "GIF", KV_FORMAT_GIF, KV_METAD_GROUP_END);
    if (status == 0 && g_host.IO_byte_write(s, kTrailer) != 1) {
        record_error(m, __LINE__, gif_write_err::kByteNotWritten, 0, g_host.IO_tell(s));
    }
    return error_status();
}

HostStatus GIF_save_format_select(HostDibInfo* image, void*, void*, void** params_out) {
    HostPixStruct* formats[3] = {g_host.GPb_PixStruct_create(3, 1), g_host.GPb_PixStruct_create(3, 4),
                                 g_host.GPb_PixStruct_create(3, 8)};
    void* params = g_host.GPb_FC_GetConversionParamsForSaving(image, formats, 3);
    if (params == nullptr) record_error(m, __LINE__, gif_write_err::kNoConversion, 0, g_host.DIB_bit_depth_get(image));
    for (int i = 2; i >= 0; --i) g_host.GPb_PixStruct_delete(formats[i]);
    if (params_out != nullptr) *params_out = params;
    return error_status();
}

bool GIF_save_depth_check(HostDibInfo* image) {
    const uint32_t depth = g_host.DIB_bit_depth_get(image);
    if (depth != 1 && depth != 4 && depth != 8) record_error(m, __LINE__, gif_write_err::kBadDepth, 0, depth);
    return error_status() == 0;
}

HostStatus GIF_image_save(HostStream* s, void* settings_in, uint32_t page_mode, void*, uint32_t conversion) {
    const int64_t position = g_host.IO_tell(s);
    const uint32_t tag = new_memory_tag(m, __LINE__);
    GifSettings defaults{89, 0, 0};
    const GifSettings* settings = settings_in != nullptr ? static_cast<const GifSettings*>(settings_in) : &defaults;
    HostDibInfo* image = nullptr;
    HostStatus status = g_host.IO_DIB_convert_get(s, &image, &GIF_save_format_select, settings_in, conversion);
    // An image without rows would make a file that readers refuse.
    if (status == 0 && image != nullptr && g_host.DIB_height_get(image) == 0) {
        record_error(m, __LINE__, gif_write_err::kNoRows);
    }
    if (error_status() == 0 && image != nullptr && GIF_save_depth_check(image)) {
        // The copy is bounded by the buffer, whatever size the host reports.
        uint8_t palette[kPaletteBytes] = {};
        const void* source = g_host.DIB_palette_pointer_get(image);
        const uint32_t bytes = std::min(g_host.DIB_palette_size_get(image), kPaletteBytes);
        if (source != nullptr) std::memcpy(palette, source, bytes);
        status = GIF_page_write(s, tag, settings, page_mode, image, palette);
    }
    host_free_all(tag, m, __LINE__);
    if (error_status() != 0) g_host.IO_seek(s, position, 0);
    if (image != nullptr) g_host.DIB_info_delete(image);
    return error_status();
}

}  // namespace kv
