// GIF writing: the LZW encoder, the page writer and its block writers, and
// the collection of the application's metadata into tables and extensions.
#pragma once

#include "gif/gif_records.h"
#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

namespace gif_write_err {
inline constexpr int32_t kOldBlockShort = -2052;  // the GIF appended to ends inside a block
inline constexpr int32_t kOldByteNoBlock = -2060;  // the GIF appended to holds a byte that starts no block
inline constexpr int32_t kTableShort = -2070;
inline constexpr int32_t kSubBlockShort = -2071;
inline constexpr int32_t kBlockShort = -2072;
inline constexpr int32_t kNoConversion = -2112;
inline constexpr int32_t kByteNotWritten = -2393;
inline constexpr int32_t kBadDepth = -2413;
inline constexpr int32_t kNoRows = -2414;  // an image of height 0: GIF readers refuse it
inline constexpr int32_t kSeek = -2453;
inline constexpr int32_t kUnknownLabel = -2479;
}  // namespace gif_write_err

// The LZW minimum code size, the image's pixels as LZW data sub-blocks and
// the block terminator, rows pulled from the host in file order.
HostStatus GIF_image_data_write(HostStream* stream, uint32_t tag, HostDibInfo* image, const GifSettings* settings);

// The sizes of an extension's data sub-blocks, one byte each, when they
// are to be cut otherwise than 255 bytes each but the last.
struct GifSubBlockLayout {
    const uint8_t* sizes = nullptr;
    uint32_t count = 0;
};

// Block writers: each checks the byte count of its writes and ends with the status.
HostStatus GIF_header_write(HostStream* stream, const GifStreamRecord* rec);
HostStatus GIF_screen_descriptor_write(HostStream* stream, const GifStreamRecord* rec);
HostStatus GIF_image_descriptor_write(HostStream* stream, const GifStreamRecord* rec);
HostStatus GIF_graphic_control_ext_write(HostStream* stream, const GifGraphicControlRecord* record);
HostStatus GIF_plain_text_ext_write(HostStream* stream, const GifPlainTextRecord* record,
                       const GifSubBlockLayout* layout = nullptr);
HostStatus GIF_application_ext_write(HostStream* stream, const GifApplicationRecord* record,
                       const GifSubBlockLayout* layout = nullptr);
HostStatus GIF_comment_ext_write(HostStream* stream, const GifCommentRecord* record,
                       const GifSubBlockLayout* layout = nullptr);
// The longest authentication code an application block can carry: its
// block size byte counts the 8 identifier bytes too.
inline constexpr uint32_t kMaxAuthCode = 247;

// Any extension record by its label; another label records -2479.
HostStatus gif_extension_write(HostStream* stream, const void* record, const GifSubBlockLayout* layout = nullptr);
// Data sub-blocks of at most 255 bytes and the block terminator; cut by the
// layout when it is given and its sizes add up to the length.
void GIF_data_subblocks_write(HostStream* stream, uint64_t length, const uint8_t* data,
                              const GifSubBlockLayout* layout = nullptr);

// What the application's metadata gives a page: colour tables and the
// extension records to write before and after the image.
struct GifLayoutNode {
    const void* record;
    GifSubBlockLayout layout;
    GifLayoutNode* next;
};

struct GifCollectedMetadata {
    uint8_t* global_table = nullptr;  // 768 bytes, or null
    uint8_t* local_table = nullptr;
    GifExtensionList before;
    GifExtensionList after;
    GifLayoutNode* layouts = nullptr;  // sub-block sizes given for some records

    const GifSubBlockLayout* layout_of(const void* record) const {
        for (const GifLayoutNode* node = layouts; node != nullptr; node = node->next) {
            if (node->record == record) return &node->layout;
        }
        return nullptr;
    }
};

HostStatus GIF_metadata_collect(HostStream* stream, uint32_t tag, GifCollectedMetadata* collected);

// Field announcements: every descriptor field with its default, taking the
// application's replacement. The status is that of the descriptor's last
// announcement. *replaced tells whether any screen field was replaced.
HostStatus gif_screen_fields_announce(HostStream* stream, uint32_t tag, GifStreamRecord* rec, uint32_t depth,
                                      bool* replaced);
HostStatus gif_image_fields_announce(HostStream* stream, uint32_t tag, GifStreamRecord* rec, uint32_t depth,
                                     bool local_table, const GifSettings* settings);

// The older numbered tags, used when the stream keeps them.
void gif_screen_tags_apply(HostStream* stream, GifStreamRecord* rec);
void gif_image_tags_apply(HostStream* stream, GifStreamRecord* rec);
// A colour table tag (1506, 1510): the table becomes the tag's when it answers.
// type is the page's tag type variable, passed to every tag read.
HostStatus gif_table_tag_apply(HostStream* stream, uint32_t tag, uint32_t tag_number, uint32_t* type, uint8_t* table);
// The extension records of tags 1511/1512 or 1513/1514, each written as it
// comes; *written counts the records obtained.
void gif_tag_records_write(HostStream* stream, uint32_t* type, uint32_t count_tag, uint32_t record_tag,
                           uint32_t* written);

// The page writer, the save entry's format callback and its depth check.
HostStatus GIF_page_write(HostStream* stream, uint32_t tag, const GifSettings* settings, uint32_t page_mode,
                          HostDibInfo* image, const uint8_t* palette);
HostStatus GIF_save_format_select(HostDibInfo* image, void* ignored, void* ignored2, void** params_out);
bool GIF_save_depth_check(HostDibInfo* image);

}  // namespace kv
