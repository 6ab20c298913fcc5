#include "gif/gif_records.h"

#include "frame/service_table.h"

namespace kv {

HostStatus gif_extension_append(GifExtensionList* list, void* record) {
    auto* node = static_cast<GifExtensionNode*>(
        host_alloc(list->tag, sizeof(GifExtensionNode), module::kGifRead, __LINE__));
    if (node == nullptr) {
        return record_error(module::kGifRead, __LINE__, err::kNoMemory, 0, sizeof(GifExtensionNode), list->tag);
    }
    gif_extension_link(list, node, record);
    return 0;
}

void gif_extension_link(GifExtensionList* list, GifExtensionNode* node, void* record) {
    node->record = record;
    node->next = nullptr;
    if (list->tail == nullptr) {
        list->head = node;
    } else {
        list->tail->next = node;
    }
    list->tail = node;
    ++list->count;
}

uint8_t* gif_extension_data(void* record) {
    if (record == nullptr) return nullptr;
    switch (*static_cast<const uint32_t*>(record)) {
        case KV_GIF_EXT_PLAIN_TEXT: return static_cast<GifPlainTextRecord*>(record)->data;
        case KV_GIF_EXT_COMMENT: return static_cast<GifCommentRecord*>(record)->data;
        case KV_GIF_EXT_APPLICATION: return static_cast<GifApplicationRecord*>(record)->data;
        default: return nullptr;
    }
}

void gif_extension_record_free(uint32_t tag, void* record) {
    if (record == nullptr) return;
    host_free(tag, gif_extension_data(record), module::kGifRead, __LINE__);
    host_free(tag, record, module::kGifRead, __LINE__);
}

void gif_extension_list_free(GifExtensionList* list) {
    GifExtensionNode* node = list->head;
    while (node != nullptr) {
        GifExtensionNode* next = node->next;
        gif_extension_record_free(list->tag, node->record);
        host_free(list->tag, node, module::kGifRead, __LINE__);
        node = next;
    }
    list->head = list->tail = nullptr;
    list->count = 0;
}

}  // namespace kv
