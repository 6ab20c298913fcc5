// Records shared by GIF reading, GIF writing and the multi-page source: the
// GIF stream record and the extension list.
#pragma once

#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// The state of one GIF read or write: header, screen descriptor, colour
// tables, the current image descriptor and its graphic control values.
struct GifStreamRecord {
    char signature[3];
    char version[3];
    uint16_t screen_width;
    uint16_t screen_height;
    uint8_t screen_fields;  // bit 7 global table, 6-4 resolution, 3 sort, 2-0 size
    uint8_t background_index;
    uint8_t aspect_ratio;
    uint8_t global_table[KV_GIF_TABLE_BYTES];
    uint16_t image_left;
    uint16_t image_top;
    uint16_t image_width;
    uint16_t image_height;
    uint8_t image_fields;  // bit 7 local table, 6 interlace, 5 sort, 2-0 size
    uint8_t local_table[KV_GIF_TABLE_BYTES];
    uint8_t* active_table;  // the table in use for the image, or null
    uint8_t bit_count;
    uint32_t control_present;
    uint32_t control_fields;  // 4-2 disposal, 1 user input, 0 transparent flag
    uint32_t delay_time;
    uint8_t transparent_index;
    // A per-read copy of the default table chosen for the image: the
    // transparent colour fix-up edits the active table in place, and the
    // constant defaults are shared by every read.
    uint8_t default_table[KV_GIF_TABLE_BYTES];
};

struct GifExtensionNode {
    void* record;
    GifExtensionNode* next;
};

// Extension records in stream order, all under one memory tag.
struct GifExtensionList {
    GifExtensionNode* head = nullptr;
    GifExtensionNode* tail = nullptr;
    uint32_t count = 0;
    uint32_t tag = 0;
};

// Links the record after the last node. On failure (error -1000 recorded)
// returns the status and the record is not in the list.
HostStatus gif_extension_append(GifExtensionList* list, void* record);
// Links a node the caller obtained under the list's tag, holding record, at the tail.
void gif_extension_link(GifExtensionList* list, GifExtensionNode* node, void* record);
// Frees every record, its data and its node; the list is empty afterwards.
void gif_extension_list_free(GifExtensionList* list);
// The data buffer of a plain text, comment or application record, or null.
uint8_t* gif_extension_data(void* record);
// Frees one record and its data.
void gif_extension_record_free(uint32_t tag, void* record);

}  // namespace kv
