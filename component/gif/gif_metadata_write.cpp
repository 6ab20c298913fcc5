// The application's metadata and older tags on save: colour tables and
// extension records collected from the items, descriptor fields announced
// with their defaults and replaced by the application's values, and the
// fallbacks to the tags a load sets.
#include "frame/service_table.h"
#include "gif/gif_metadata.h"
#include "gif/gif_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kv {
namespace {

constexpr const char* m = module::kGifWrite;

// One metadata item as the host delivers it; the value belongs to the save's tag.
struct Item {
    const char* name = nullptr;
    uint32_t id = 0;
    int32_t kind = 0;
    void* value = nullptr;
    uint32_t length = 0;

    bool is(int32_t item_kind, const char* item_name, uint32_t item_id) const {
        return kind == item_kind && id == item_id && name != nullptr && std::strcmp(name, item_name) == 0;
    }
    bool is_value(const char* item_name, uint32_t item_id) const {
        return value != nullptr && is(KV_METAD_VALUE, item_name, item_id);
    }
    uint32_t u8() const { return number(1); }
    uint32_t u16() const { return number(2); }
    uint32_t u32() const { return number(4); }
    // A number of `size` bytes, least significant first. The application
    // may give a field any bytes: a shorter value is read as far as it
    // goes, zero-extended, never past its length.
    uint32_t number(uint32_t size) const {
        uint8_t bytes[4] = {};
        std::memcpy(bytes, value, std::min(size, length));
        return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    }
    const uint8_t* bytes() const { return static_cast<const uint8_t*>(value); }
};

// Walks the application's items for the GIF format, freeing each value once
// the next item is asked for.
struct ItemWalk {
    HostStream* s;
    uint32_t tag;
    GifCollectedMetadata* collected = nullptr;
    Item item{};
    bool delivered = false;
    void* last_comment = nullptr;  // the comment record of the item before, whose sizes may follow

    void release() {
        host_free(tag, item.value, m, __LINE__);
        item.value = nullptr;
    }

    // The next item; false when the fetch failed or nothing was left.
    bool next() {
        release();
        int32_t type = 0, got = 0;
        uint32_t count = 0;
        int32_t flag = 0;
        item = Item{};
        const HostStatus status = g_host.GPr_IO_metad_item_convert_add(
            s, tag, KV_FORMAT_GIF, &item.name, &item.id, &item.kind, &item.value, &type, &count, &flag, &item.length,
            &got);
        delivered = got != 0;
        return status == 0 && delivered;
    }
};

void* zeroed_block(uint32_t tag, uint64_t size);

// Keeps the sub-block sizes the item gives for the record's data.
void layout_keep(ItemWalk& walk, const void* record) {
    const Item& it = walk.item;
    if (walk.collected == nullptr || record == nullptr || it.length == 0) return;
    auto* node = static_cast<GifLayoutNode*>(zeroed_block(walk.tag, sizeof(GifLayoutNode)));
    auto* sizes = node != nullptr ? static_cast<uint8_t*>(host_alloc(walk.tag, it.length, m, __LINE__)) : nullptr;
    if (sizes == nullptr) {
        if (node != nullptr) record_error(m, __LINE__, err::kNoMemory, 0, walk.tag, it.length);
        host_free(walk.tag, node, m, __LINE__);
        return;
    }
    std::memcpy(sizes, it.value, it.length);
    node->record = record;
    node->layout = GifSubBlockLayout{sizes, it.length};
    node->next = walk.collected->layouts;
    walk.collected->layouts = node;
}

void* zeroed_block(uint32_t tag, uint64_t size) {
    void* block = host_alloc(tag, size, m, __LINE__);
    if (block == nullptr) {
        record_error(m, __LINE__, err::kNoMemory, 0, tag, static_cast<int64_t>(size));
        return nullptr;
    }
    std::memset(block, 0, size);
    return block;
}

// An extension's data: the value and one zero byte after it. The length is
// kept whole; sub-blocks carry any length, so nothing is cut.
bool data_copy(uint32_t tag, const Item& item, uint32_t* length, uint8_t** data) {
    auto* block = static_cast<uint8_t*>(zeroed_block(tag, uint64_t{item.length} + 1));
    if (block == nullptr) return false;
    std::memcpy(block, item.value, item.length);
    *data = block;
    *length = item.length;
    return true;
}

HostStatus GIF_graphic_control_from_metadata(ItemWalk& walk, GifGraphicControlRecord* r) {
    bool in_fields = false;
    uint32_t fields = 0;
    while (walk.next()) {
        const Item& it = walk.item;
        if (it.is(KV_METAD_GROUP_END, "GraphicControlExtension", 249)) break;
        if (it.is(KV_METAD_GROUP_BEGIN, "Fields", 3985)) {
            in_fields = true;
            fields = 0;
        } else if (it.is(KV_METAD_GROUP_END, "Fields", 3985)) {
            r->fields = fields;
            in_fields = false;
        } else if (it.is_value("DisposalMethod", 3986)) {
            // The item sets bits 4-2: a later one replaces an earlier one.
            fields = (fields & ~0x1Cu) | (it.u8() & 7) << 2;
        } else if (it.is_value("UserInputFlag", 3987)) {
            if (it.u32() != 0) fields |= 2;
        } else if (it.is_value("TransparentColorFlag", 3988)) {
            if (it.u32() != 0) fields |= 1;
        } else if (it.is_value("DelayTime", 3989)) {
            r->delay_time = it.u16();
        } else if (it.is_value("TransparentColorIndex", 3990)) {
            r->transparent_index = static_cast<uint8_t>(it.u8());
        }
    }
    if (in_fields) r->fields = fields;
    return error_status();
}

HostStatus GIF_plain_text_from_metadata(ItemWalk& walk, GifPlainTextRecord* r) {
    static constexpr const char* kGridNames[4] = {"TextGridLeftPosition", "TextGridTopPosition", "TextGridWidth",
                                                  "TextGridHeight"};
    static constexpr const char* kByteNames[4] = {"CharacterCellWidth", "CharacterCellHeight",
                                                  "TextForegroundColorIndex", "TextBackgroundColorIndex"};
    uint32_t* const grid[4] = {&r->grid_left, &r->grid_top, &r->grid_width, &r->grid_height};
    uint32_t* const cells[4] = {&r->cell_width, &r->cell_height, &r->foreground_index, &r->background_index};
    while (walk.next()) {
        const Item& it = walk.item;
        if (it.is(KV_METAD_GROUP_END, "PlainTextExtension", 1)) break;
        for (uint32_t i = 0; i < 4; ++i) {
            if (it.is_value(kGridNames[i], 17 + i)) *grid[i] = it.u16();
            if (it.is_value(kByteNames[i], 21 + i)) *cells[i] = it.u8();
        }
        if (it.is_value("PlainTextData", 25) && r->data == nullptr &&
            !data_copy(walk.tag, it, &r->data_length, &r->data)) {
            break;
        }
        if (it.is_value(kSubBlockSizesName, kSubBlockSizesId)) layout_keep(walk, r);
    }
    return error_status();
}

HostStatus GIF_application_from_metadata(ItemWalk& walk, GifApplicationRecord* r) {
    while (walk.next()) {
        const Item& it = walk.item;
        if (it.is(KV_METAD_GROUP_END, "ApplicationExtension", 255)) break;
        if (it.is_value("ApplicationIdentifier", 4081)) {
            std::memcpy(r->identifier, it.bytes(), std::min<uint32_t>(it.length, 8));
        } else if (it.is_value("Appl.AuthenticationCode", 4082)) {
            // A longer code could not be announced by the block size byte: it is cut.
            const uint32_t n = std::min<uint32_t>(it.length, kMaxAuthCode);
            std::memcpy(r->auth_code, it.bytes(), n);
            r->auth_code_length = static_cast<uint8_t>(n);
        } else if (it.is_value("ApplicationData", 4083) && r->data == nullptr &&
                   !data_copy(walk.tag, it, &r->data_length, &r->data)) {
            break;
        } else if (it.is_value(kSubBlockSizesName, kSubBlockSizesId)) {
            layout_keep(walk, r);
        }
    }
    return error_status();
}

// A record of the extension group that begins with this item, filled from
// its items; null when the group is not an extension or the filling failed.
void* extension_from_group(ItemWalk& walk) {
    const Item& it = walk.item;
    if (it.is(KV_METAD_GROUP_BEGIN, "GraphicControlExtension", 249)) {
        auto* r = static_cast<GifGraphicControlRecord*>(zeroed_block(walk.tag, sizeof(GifGraphicControlRecord)));
        if (r == nullptr) return nullptr;
        r->label = KV_GIF_EXT_GRAPHIC_CONTROL;
        if (GIF_graphic_control_from_metadata(walk, r) == 0) return r;
        gif_extension_record_free(walk.tag, r);
    } else if (it.is(KV_METAD_GROUP_BEGIN, "PlainTextExtension", 1)) {
        auto* r = static_cast<GifPlainTextRecord*>(zeroed_block(walk.tag, sizeof(GifPlainTextRecord)));
        if (r == nullptr) return nullptr;
        r->label = KV_GIF_EXT_PLAIN_TEXT;
        if (GIF_plain_text_from_metadata(walk, r) == 0) return r;
        gif_extension_record_free(walk.tag, r);
    } else if (it.is(KV_METAD_GROUP_BEGIN, "ApplicationExtension", 255)) {
        auto* r = static_cast<GifApplicationRecord*>(zeroed_block(walk.tag, sizeof(GifApplicationRecord)));
        if (r == nullptr) return nullptr;
        r->label = KV_GIF_EXT_APPLICATION;
        if (GIF_application_from_metadata(walk, r) == 0) return r;
        gif_extension_record_free(walk.tag, r);
    }
    return nullptr;
}

// A comment record holding the value without its last byte, the
// terminating zero the host hands over with the characters.
void* comment_from_value(uint32_t tag, const Item& it) {
    auto* r = static_cast<GifCommentRecord*>(zeroed_block(tag, sizeof(GifCommentRecord)));
    if (r == nullptr) return nullptr;
    r->label = KV_GIF_EXT_COMMENT;
    r->data = static_cast<uint8_t*>(host_alloc(tag, it.length, m, __LINE__));
    if (r->data == nullptr) {
        record_error(m, __LINE__, err::kNoMemory, 0, tag, it.length);
        host_free(tag, r, m, __LINE__);
        return nullptr;
    }
    std::memcpy(r->data, it.value, it.length);
    r->data_length = it.length - 1;
    return r;
}

void table_take(uint32_t tag, const Item& it, uint8_t** table) {
    if (*table != nullptr || it.length == 0) return;
    *table = static_cast<uint8_t*>(zeroed_block(tag, KV_GIF_TABLE_BYTES));
    if (*table != nullptr) std::memcpy(*table, it.value, std::min<uint32_t>(it.length, KV_GIF_TABLE_BYTES));
}

// Links the record at the end of the list; a record that cannot be linked is freed.
void list_append(uint32_t tag, GifExtensionList* list, void* record) {
    auto* node = static_cast<GifExtensionNode*>(host_alloc(tag, sizeof(GifExtensionNode), m, __LINE__));
    if (node == nullptr) {
        record_error(m, __LINE__, err::kNoMemory, 0, tag, sizeof(GifExtensionNode));
        gif_extension_record_free(tag, record);
        return;
    }
    gif_extension_link(list, node, record);
}

bool gif_group_found(HostStream* s) {
    for (;;) {
        const char* name = nullptr;
        uint32_t id = 0, count = 0;
        int32_t kind = 0, type = 0, flag = 0;
        void* value = nullptr;
        if (g_host.IO_metad_item_add(s, KV_FORMAT_GIF, &name, &id, &kind, &value, &type, &count, &flag) == 0) {
            return false;
        }
        if (kind == KV_METAD_GROUP_BEGIN && id == KV_FORMAT_GIF && name != nullptr && std::strcmp(name, "GIF") == 0) {
            return true;
        }
    }
}

// One item of the "GIF" group; false once the group has closed.
bool item_collect(ItemWalk& walk, GifCollectedMetadata* c, GifExtensionList** current) {
    const Item& it = walk.item;
    const void* comment = std::exchange(walk.last_comment, nullptr);
    if (it.is(KV_METAD_GROUP_END, "GIF", KV_FORMAT_GIF)) return false;
    if (it.is_value(kSubBlockSizesName, kSubBlockSizesId)) {
        layout_keep(walk, comment);
        return error_status() == 0;
    }
    if (it.is(KV_METAD_GROUP_BEGIN, "AfterImageExtensions", 4095)) {
        *current = &c->after;
    } else if (it.is(KV_METAD_GROUP_END, "AfterImageExtensions", 4095)) {
        *current = &c->before;
    } else if (it.is_value("GlobalColorTable", 48)) {
        table_take(walk.tag, it, &c->global_table);
    } else if (it.is_value("LocalColorTable", 64)) {
        table_take(walk.tag, it, &c->local_table);
    } else if (it.is_value("CommentExtension", 254) && it.length != 0) {
        if (void* record = comment_from_value(walk.tag, it)) {
            list_append(walk.tag, *current, record);
            if (error_status() == 0) walk.last_comment = record;
        }
    } else if (it.kind == KV_METAD_GROUP_BEGIN) {
        if (void* record = extension_from_group(walk)) list_append(walk.tag, *current, record);
    }
    return error_status() == 0;
}

// Announces one value with its default; the application's replacement, read
// with the field's width, comes back instead when it gives one.
struct FieldAnnouncer {
    HostStream* s;
    uint32_t tag;
    bool any_replaced = false;
    HostStatus status = 0;

    uint32_t value(const char* name, uint32_t id, int32_t type, uint32_t default_value) {
        uint8_t u8 = static_cast<uint8_t>(default_value);
        uint16_t u16 = static_cast<uint16_t>(default_value);
        uint32_t u32 = default_value;
        const void* def = type == KV_METAD_TYPE_U8 ? static_cast<const void*>(&u8)
                          : type == KV_METAD_TYPE_U16 ? static_cast<const void*>(&u16)
                                                      : static_cast<const void*>(&u32);
        void* replacement = nullptr;
        int32_t out_type = 0, out_flag = 0, replaced = 0;
        uint32_t out_count = 0;
        status = g_host.GPr_IO_metad_item_convert_set(s, tag, KV_FORMAT_GIF, name, id, KV_METAD_VALUE, def, type, 1, 0,
                                                      &replacement, &out_type, &out_count, &out_flag, &replaced);
        if (replacement == nullptr) return default_value;
        uint32_t result = default_value;
        if (replaced != 0) {
            Item it;
            it.value = replacement;
            // The host hands a replacement over in the type asked for.
            it.length = type == KV_METAD_TYPE_U8 ? 1 : type == KV_METAD_TYPE_U16 ? 2 : 4;
            result = it.number(it.length);
            any_replaced = true;
        }
        host_free(tag, replacement, m, __LINE__);
        return result;
    }

    void group(const char* name, uint32_t id, int32_t kind) {
        void* out = nullptr;
        int32_t type = 0;
        uint32_t count = 0;
        g_host.IO_metad_item_set(s, KV_FORMAT_GIF, name, id, kind, nullptr, 0, 0, 1, &out, &type, &count);
    }
};

uint32_t flag_bit(uint32_t value, uint32_t bit) { return value != 0 ? bit : 0; }

}  // namespace

HostStatus GIF_metadata_collect(HostStream* s, uint32_t tag, GifCollectedMetadata* c) {
    if (!gif_group_found(s)) return error_status();
    ItemWalk walk{s, tag, c};
    GifExtensionList* current = &c->before;
    while (walk.next() && item_collect(walk, c, &current)) {
    }
    walk.release();
    return error_status();
}

HostStatus gif_screen_fields_announce(HostStream* s, uint32_t tag, GifStreamRecord* rec, uint32_t depth,
                                      bool* replaced) {
    FieldAnnouncer a{s, tag};
    a.group("LogicalScreenDescriptor", 32, KV_METAD_GROUP_BEGIN);
    rec->screen_width = static_cast<uint16_t>(a.value("LogicalScreenWidth", 513, KV_METAD_TYPE_U16, rec->screen_width));
    rec->screen_height =
        static_cast<uint16_t>(a.value("LogicalScreenHeight", 514, KV_METAD_TYPE_U16, rec->screen_height));
    a.group("Fields", 517, KV_METAD_GROUP_BEGIN);
    uint32_t fields = flag_bit(a.value("GlobalColorTableFlag", 518, KV_METAD_TYPE_FLAG, 1), 0x80);
    fields |= (a.value("ColorResolution", 519, KV_METAD_TYPE_U8, 0) & 7) << 4;
    fields |= flag_bit(a.value("SortFlag", 520, KV_METAD_TYPE_FLAG, 0), 0x08);
    fields |= a.value("GlobalColorTableSize", 521, KV_METAD_TYPE_U8, depth - 1) & 7;
    rec->screen_fields = static_cast<uint8_t>(fields);
    a.group("Fields", 517, KV_METAD_GROUP_END);
    rec->background_index = static_cast<uint8_t>(a.value("BackgroundColorIndex", 515, KV_METAD_TYPE_U8, 0));
    rec->aspect_ratio = static_cast<uint8_t>(a.value("PixelAspectRatio", 516, KV_METAD_TYPE_U8, 0));
    const HostStatus status = a.status;
    a.group("LogicalScreenDescriptor", 32, KV_METAD_GROUP_END);
    *replaced = a.any_replaced;
    return status;
}

HostStatus gif_image_fields_announce(HostStream* s, uint32_t tag, GifStreamRecord* rec, uint32_t depth,
                                     bool local_table, const GifSettings* settings) {
    FieldAnnouncer a{s, tag};
    a.group("ImageDescriptor", 44, KV_METAD_GROUP_BEGIN);
    rec->image_left = static_cast<uint16_t>(a.value("ImageLeftPosition", 705, KV_METAD_TYPE_U16, rec->image_left));
    rec->image_top = static_cast<uint16_t>(a.value("ImageTopPosition", 706, KV_METAD_TYPE_U16, rec->image_top));
    rec->image_width = static_cast<uint16_t>(a.value("ImageWidth", 707, KV_METAD_TYPE_U16, rec->image_width));
    rec->image_height = static_cast<uint16_t>(a.value("ImageHeight", 708, KV_METAD_TYPE_U16, rec->image_height));
    a.group("Fields", 709, KV_METAD_GROUP_BEGIN);
    uint32_t fields = flag_bit(a.value("LocalColorTableFlag", 710, KV_METAD_TYPE_FLAG, local_table ? 1 : 0), 0x80);
    // The interlace bit follows the settings record: the encoder reads it there.
    a.value("InterlaceFlag", 711, KV_METAD_TYPE_FLAG, settings->interlace);
    fields |= flag_bit(settings->interlace, 0x40);
    fields |= flag_bit(a.value("SortFlag", 712, KV_METAD_TYPE_FLAG, 0), 0x20);
    fields |= a.value("LocalColorTableSize", 713, KV_METAD_TYPE_U8, local_table ? depth - 1 : 0) & 7;
    rec->image_fields = static_cast<uint8_t>(fields);
    const HostStatus status = a.status;
    a.group("Fields", 709, KV_METAD_GROUP_END);
    a.group("ImageDescriptor", 44, KV_METAD_GROUP_END);
    return status;
}

namespace {

void word_tag_apply(HostStream* s, uint32_t number, uint16_t* field) {
    uint16_t value = *field;
    if (g_host.IO_tag_word_get(s, number, &value) != 0) *field = value;
}

void byte_tag_apply(HostStream* s, uint32_t number, uint8_t* field) {
    uint8_t value = *field;
    if (g_host.IO_tag_byte_get(s, number, &value) != 0) *field = value;
}

}  // namespace

void gif_screen_tags_apply(HostStream* s, GifStreamRecord* rec) {
    word_tag_apply(s, KV_GIF_TAG_SCREEN_WIDTH, &rec->screen_width);
    word_tag_apply(s, KV_GIF_TAG_SCREEN_HEIGHT, &rec->screen_height);
    byte_tag_apply(s, KV_GIF_TAG_SCREEN_FIELDS, &rec->screen_fields);
    byte_tag_apply(s, KV_GIF_TAG_BACKGROUND, &rec->background_index);
    byte_tag_apply(s, KV_GIF_TAG_ASPECT_RATIO, &rec->aspect_ratio);
}

void gif_image_tags_apply(HostStream* s, GifStreamRecord* rec) {
    word_tag_apply(s, KV_GIF_TAG_IMAGE_LEFT, &rec->image_left);
    word_tag_apply(s, KV_GIF_TAG_IMAGE_TOP, &rec->image_top);
    // The interlace bit stays with the settings record, which orders the rows
    // the encoder writes: a tag from another file must not contradict them.
    const uint8_t interlace = rec->image_fields & 0x40;
    byte_tag_apply(s, KV_GIF_TAG_IMAGE_FIELDS, &rec->image_fields);
    rec->image_fields = static_cast<uint8_t>((rec->image_fields & ~0x40) | interlace);
}

HostStatus gif_table_tag_apply(HostStream* s, uint32_t tag, uint32_t number, uint32_t* type, uint8_t* table) {
    auto* buffer = static_cast<uint8_t*>(host_alloc(tag, KV_GIF_TABLE_BYTES, m, __LINE__));
    if (buffer == nullptr) return record_error(m, __LINE__, err::kNoMemory, 0, tag, KV_GIF_TABLE_BYTES);
    std::memcpy(buffer, table, KV_GIF_TABLE_BYTES);
    if (g_host.IO_tag_get(s, number, type, buffer, KV_GIF_TABLE_BYTES) != 0) {
        std::memcpy(table, buffer, KV_GIF_TABLE_BYTES);
    }
    host_free(tag, buffer, m, __LINE__);
    return error_status();
}

void gif_tag_records_write(HostStream* s, uint32_t* type, uint32_t count_tag, uint32_t record_tag,
                           uint32_t* written) {
    uint16_t count = 0;
    if (g_host.IO_tag_word_get(s, count_tag, &count) == 0) count = 0;
    for (uint32_t i = 0; i < count && error_status() == 0; ++i) {
        void* record = nullptr;
        if (g_host.IO_tag_get(s, record_tag, type, &record, 0) != 0 || record == nullptr) break;
        ++*written;
        gif_extension_write(s, record);
    }
}

}  // namespace kv
