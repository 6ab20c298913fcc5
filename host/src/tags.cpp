// The tag store of a load (IO_tag_set, IO_tag_word_set, IO_tag_byte_set,
// IO_tag_set_exists). Every value is copied, deep where it holds addresses,
// because the component frees what it hands over when the load ends.
#include "kvhost/errors.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <cstring>

namespace kvhost {

std::vector<const TagEntry*> TagStore::all(uint32_t tag) const {
    std::vector<const TagEntry*> found;
    for (const TagEntry& entry : entries) {
        if (entry.tag == tag) found.push_back(&entry);
    }
    return found;
}

const TagEntry* TagStore::find(uint32_t tag) const {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (it->tag == tag) return &*it;
    }
    return nullptr;
}

namespace {

constexpr const char* kModule = KVHOST_MODULE("tags");

void copy_data(ExtensionCopy& copy, const uint8_t* data, uint32_t length) {
    copy.has_data = data != nullptr;
    if (data != nullptr) copy.data.assign(data, data + length);
}

// Copies an extension record by its label; false for an unknown label.
bool copy_extension(const void* record, ExtensionCopy& copy) {
    uint32_t label;
    std::memcpy(&label, record, sizeof label);
    copy.label = label;
    switch (label) {
        case KV_GIF_EXT_GRAPHIC_CONTROL: {
            const auto* r = static_cast<const GifGraphicControlRecord*>(record);
            copy.fields = r->fields;
            copy.delay_time = r->delay_time;
            copy.transparent_index = r->transparent_index;
            return true;
        }
        case KV_GIF_EXT_PLAIN_TEXT: {
            const auto* r = static_cast<const GifPlainTextRecord*>(record);
            copy.grid[0] = r->grid_left;
            copy.grid[1] = r->grid_top;
            copy.grid[2] = r->grid_width;
            copy.grid[3] = r->grid_height;
            copy.cell_width = r->cell_width;
            copy.cell_height = r->cell_height;
            copy.foreground_index = r->foreground_index;
            copy.background_index = r->background_index;
            copy_data(copy, r->data, r->data_length);
            return true;
        }
        case KV_GIF_EXT_COMMENT: {
            const auto* r = static_cast<const GifCommentRecord*>(record);
            copy_data(copy, r->data, r->data_length);
            return true;
        }
        case KV_GIF_EXT_APPLICATION: {
            const auto* r = static_cast<const GifApplicationRecord*>(record);
            std::memcpy(copy.identifier, r->identifier, sizeof copy.identifier);
            copy.auth_code.assign(r->auth_code, r->auth_code + r->auth_code_length);
            copy_data(copy, r->data, r->data_length);
            return true;
        }
        default: return false;
    }
}

HostStatus bad(int32_t line, const std::string& text) {
    return record_host_error(kModule, line, host_error::kBadArgument, text);
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

// Tags 1506 and 1510 carry the address of a 768-byte colour table, and 1512
// and 1514 that of an extension record, with length 0; any other tag is
// copied for the length given.
extern "C" HostStatus kvhost_IO_tag_set(HostStream* stream, uint32_t tag, uint32_t type, const void* data,
                                        uint32_t length) {
    if (stream == nullptr) return bad(__LINE__, "IO_tag_set without a stream");
    TagEntry entry;
    entry.tag = tag;
    entry.type = type;
    if (tag == KV_GIF_TAG_EXTENSION || tag == KV_GIF_TAG_AFTER_EXTENSION) {
        if (data == nullptr || !copy_extension(data, entry.extension)) {
            return bad(__LINE__, "tag " + std::to_string(tag) + " without an extension record");
        }
        entry.kind = TagEntry::Kind::kExtension;
    } else {
        const uint32_t size = (tag == KV_GIF_TAG_GLOBAL_TABLE || tag == KV_GIF_TAG_LOCAL_TABLE) && length == 0
                                  ? static_cast<uint32_t>(KV_GIF_TABLE_BYTES)
                                  : length;
        if (data == nullptr && size != 0) return bad(__LINE__, "tag " + std::to_string(tag) + " without data");
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (size != 0) entry.bytes.assign(bytes, bytes + size);
    }
    const uint64_t heap = entry.bytes.size() + entry.extension.data.size() + entry.extension.auth_code.size();
    if (!keep_for_load(stream, sizeof(TagEntry), heap, "tags")) return error_status();
    stream->sink.tags.entries.push_back(std::move(entry));
    return 0;
}

// A new entry at the end of the stream's tag store, or null past the budget.
static TagEntry* new_entry(HostStream* stream, uint32_t tag, TagEntry::Kind kind) {
    if (!keep_for_load(stream, sizeof(TagEntry), 1, "tags")) return nullptr;
    TagEntry& entry = stream->sink.tags.entries.emplace_back();
    entry.tag = tag;
    entry.kind = kind;
    return &entry;
}

extern "C" HostStatus kvhost_IO_tag_word_set(HostStream* stream, uint32_t tag, const uint16_t* value) {
    if (stream == nullptr || value == nullptr) return bad(__LINE__, "IO_tag_word_set without stream or value");
    TagEntry* entry = new_entry(stream, tag, TagEntry::Kind::kWord);
    if (entry == nullptr) return error_status();
    entry->word = *value;
    return 0;
}

extern "C" HostStatus kvhost_IO_tag_byte_set(HostStream* stream, uint32_t tag, const uint8_t* value) {
    if (stream == nullptr || value == nullptr) return bad(__LINE__, "IO_tag_byte_set without stream or value");
    TagEntry* entry = new_entry(stream, tag, TagEntry::Kind::kByte);
    if (entry == nullptr) return error_status();
    entry->bytes.assign(value, value + 1);
    return 0;
}

extern "C" int32_t kvhost_IO_tag_set_exists(HostStream* stream) {
    return stream != nullptr && stream->sink.keeps_tags ? 1 : 0;
}
