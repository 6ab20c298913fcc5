// Tags read back on save (IO_tag_get_exists, IO_tag_word_get,
// IO_tag_byte_get, IO_tag_get), served from the tag store the application
// gave, such as the one a load fills. Extension record tags hand out their
// records one per call, in the order they were set.
#include "kvhost/stream.h"
#include "service_impl.h"

#include <algorithm>
#include <cstring>

namespace kvhost {
namespace {

const TagStore* save_tags(HostStream* stream) {
    return stream != nullptr && stream->save != nullptr ? stream->save->tags : nullptr;
}

const TagEntry* latest(HostStream* stream, uint32_t tag, TagEntry::Kind kind) {
    const TagStore* tags = save_tags(stream);
    const TagEntry* entry = tags != nullptr ? tags->find(tag) : nullptr;
    return entry != nullptr && entry->kind == kind ? entry : nullptr;
}

template <typename Record>
Record* record_storage(SaveSource& save) {
    std::vector<uint8_t>& block = save.record_storage.emplace_back(sizeof(Record), 0);
    return reinterpret_cast<Record*>(block.data());
}

template <typename Record>
void data_attach(SaveSource& save, const ExtensionCopy& copy, Record* record) {
    record->data_length = static_cast<uint32_t>(copy.data.size());
    if (!copy.has_data) return;
    std::vector<uint8_t>& data = save.record_data.emplace_back(copy.data);
    data.push_back(0);
    record->data = data.data();
}

// A record the component can write, alive until the save ends.
void* record_from_copy(SaveSource& save, const ExtensionCopy& copy) {
    switch (copy.label) {
        case KV_GIF_EXT_GRAPHIC_CONTROL: {
            auto* r = record_storage<GifGraphicControlRecord>(save);
            *r = GifGraphicControlRecord{copy.label, copy.fields, copy.delay_time, copy.transparent_index};
            return r;
        }
        case KV_GIF_EXT_PLAIN_TEXT: {
            auto* r = record_storage<GifPlainTextRecord>(save);
            r->label = copy.label;
            r->grid_left = copy.grid[0];
            r->grid_top = copy.grid[1];
            r->grid_width = copy.grid[2];
            r->grid_height = copy.grid[3];
            r->cell_width = copy.cell_width;
            r->cell_height = copy.cell_height;
            r->foreground_index = copy.foreground_index;
            r->background_index = copy.background_index;
            data_attach(save, copy, r);
            return r;
        }
        case KV_GIF_EXT_COMMENT: {
            auto* r = record_storage<GifCommentRecord>(save);
            r->label = copy.label;
            data_attach(save, copy, r);
            return r;
        }
        case KV_GIF_EXT_APPLICATION: {
            auto* r = record_storage<GifApplicationRecord>(save);
            r->label = copy.label;
            std::memcpy(r->identifier, copy.identifier, sizeof r->identifier);
            const size_t code = std::min(copy.auth_code.size(), sizeof r->auth_code - 1);
            std::copy_n(copy.auth_code.begin(), code, r->auth_code);
            r->auth_code_length = static_cast<uint8_t>(code);
            data_attach(save, copy, r);
            return r;
        }
        default: {
            // Handed over as it is: the writer refuses labels it does not know.
            auto* r = record_storage<GifCommentRecord>(save);
            r->label = copy.label;
            return r;
        }
    }
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

extern "C" int32_t kvhost_IO_tag_get_exists(HostStream* stream) { return save_tags(stream) != nullptr ? 1 : 0; }

extern "C" int32_t kvhost_IO_tag_word_get(HostStream* stream, uint32_t tag, uint16_t* value) {
    const TagEntry* entry = latest(stream, tag, TagEntry::Kind::kWord);
    if (entry == nullptr || value == nullptr) return 0;
    *value = entry->word;
    return 1;
}

extern "C" int32_t kvhost_IO_tag_byte_get(HostStream* stream, uint32_t tag, uint8_t* value) {
    const TagEntry* entry = latest(stream, tag, TagEntry::Kind::kByte);
    if (entry == nullptr || entry->bytes.empty() || value == nullptr) return 0;
    *value = entry->bytes[0];
    return 1;
}

// Byte tags (colour tables, the version) answer 1 with up to size bytes
// copied. Extension record tags answer 0 with the next record's address in
// *dest, or 1 when every record has been handed out.
extern "C" int32_t kvhost_IO_tag_get(HostStream* stream, uint32_t tag, uint32_t*, void* dest, uint32_t size) {
    const TagStore* tags = save_tags(stream);
    if (tags == nullptr || dest == nullptr) return 0;
    if (tag == KV_GIF_TAG_EXTENSION || tag == KV_GIF_TAG_AFTER_EXTENSION) {
        SaveSource& save = *stream->save;
        const std::vector<const TagEntry*> records = tags->all(tag);
        size_t& next = save.next_record[tag];
        if (next >= records.size() || records[next]->kind != TagEntry::Kind::kExtension) return 1;
        *static_cast<void**>(dest) = record_from_copy(save, records[next++]->extension);
        return 0;
    }
    const TagEntry* entry = latest(stream, tag, TagEntry::Kind::kBytes);
    if (entry == nullptr) return 0;
    std::memcpy(dest, entry->bytes.data(), std::min<size_t>(size, entry->bytes.size()));
    return 1;
}
