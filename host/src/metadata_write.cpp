// The application's metadata on save: its items handed over in tree order
// (IO_metad_item_add, GPr_IO_metad_item_convert_add), and the writer's
// announced fields answered with the application's values
// (IO_metad_item_set, GPr_IO_metad_item_convert_set).
#include "kvhost/errors.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <cstring>

namespace kvhost {
namespace {

constexpr const char* kModule = KVHOST_MODULE("metadata_write");

void flatten(const MetadataNode& node, std::vector<FlatItem>* items) {
    if (node.kind == KV_METAD_VALUE) {
        items->push_back({&node, KV_METAD_VALUE});
        return;
    }
    items->push_back({&node, KV_METAD_GROUP_BEGIN});
    for (const MetadataNode& child : node.children) flatten(child, items);
    items->push_back({&node, KV_METAD_GROUP_END});
}

// The type a GIF writer reads a value with, for the values it reads as numbers.
int32_t numeric_type_wanted(const MetadataNode& node) {
    static const struct {
        const char* name;
        int32_t type;
    } kNumbers[] = {
        {"DelayTime", KV_METAD_TYPE_U16},          {"TransparentColorIndex", KV_METAD_TYPE_U8},
        {"DisposalMethod", KV_METAD_TYPE_U8},      {"UserInputFlag", KV_METAD_TYPE_FLAG},
        {"TransparentColorFlag", KV_METAD_TYPE_FLAG}, {"TextGridLeftPosition", KV_METAD_TYPE_U16},
        {"TextGridTopPosition", KV_METAD_TYPE_U16}, {"TextGridWidth", KV_METAD_TYPE_U16},
        {"TextGridHeight", KV_METAD_TYPE_U16},     {"CharacterCellWidth", KV_METAD_TYPE_U8},
        {"CharacterCellHeight", KV_METAD_TYPE_U8}, {"TextForegroundColorIndex", KV_METAD_TYPE_U8},
        {"TextBackgroundColorIndex", KV_METAD_TYPE_U8},
    };
    for (const auto& entry : kNumbers) {
        if (node.name == entry.name) return entry.type;
    }
    return 0;
}

bool is_numeric(int32_t type) {
    return type == KV_METAD_TYPE_U8 || type == KV_METAD_TYPE_U16 || type == KV_METAD_TYPE_FLAG;
}

uint32_t numeric_size(int32_t type) {
    return type == KV_METAD_TYPE_U8 ? 1 : type == KV_METAD_TYPE_U16 ? 2 : 4;
}

// A copy of the number in the width of the type, under the memory tag.
void* number_block(uint32_t tag, uint64_t value, int32_t type) {
    void* block = kvhost_AF_memm_alloc(tag, numeric_size(type), kModule, __LINE__);
    if (block == nullptr) return nullptr;
    const uint8_t u8 = static_cast<uint8_t>(value);
    const uint16_t u16 = static_cast<uint16_t>(value);
    const uint32_t u32 = static_cast<uint32_t>(value);
    std::memcpy(block, type == KV_METAD_TYPE_U8 ? static_cast<const void*>(&u8)
                       : type == KV_METAD_TYPE_U16 ? static_cast<const void*>(&u16)
                                                   : static_cast<const void*>(&u32),
                numeric_size(type));
    return block;
}

// The value as the writer takes it: numbers in the width it reads, bytes as
// they are, and a comment's characters followed by their terminating zero,
// which the length counts: the writer drops a comment's last byte. An empty
// comment is the zero alone, so that it is written too.
HostStatus value_convert(uint32_t tag, const MetadataNode& node, void** value, uint32_t* length) {
    *value = nullptr;
    *length = 0;
    const bool terminated = node.type == KV_METAD_TYPE_CHARS && node.name == "CommentExtension";
    if (!node.has_data && !terminated) return 0;
    const int32_t wanted = numeric_type_wanted(node);
    if (wanted != 0 && is_numeric(node.type)) {
        *value = number_block(tag, node.number(0), wanted);
        *length = numeric_size(wanted);
    } else {
        const uint64_t size = node.data.size() + (terminated ? 1 : 0);
        if (size > UINT32_MAX) {
            return record_host_error(kModule, __LINE__, host_error::kBadArgument, "metadata value too long");
        }
        *value = kvhost_AF_memm_alloc(tag, size == 0 ? 1 : size, kModule, __LINE__);
        if (*value != nullptr) {
            if (!node.data.empty()) std::memcpy(*value, node.data.data(), node.data.size());
            if (terminated) static_cast<uint8_t*>(*value)[node.data.size()] = 0;
        }
        *length = static_cast<uint32_t>(size);
    }
    if (*value == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kNoMemory, "metadata value", tag,
                                 static_cast<int64_t>(*length));
    }
    return 0;
}

// The next item of the application's tree, or null at its end.
const FlatItem* next_item(HostStream* stream, uint32_t format) {
    if (stream == nullptr || stream->save == nullptr || format != KV_FORMAT_GIF) return nullptr;
    SaveSource& save = *stream->save;
    if (save.items.empty() && save.next_item == 0 && save.metadata != nullptr) {
        for (const MetadataNode& child : save.metadata->children) flatten(child, &save.items);
    }
    if (save.next_item >= save.items.size()) return nullptr;
    return &save.items[save.next_item++];
}

void item_out(const FlatItem& item, const char** name, uint32_t* id, int32_t* kind, int32_t* type, uint32_t* count) {
    if (name != nullptr) *name = item.node->name.c_str();
    if (id != nullptr) *id = item.node->id;
    if (kind != nullptr) *kind = item.kind;
    if (type != nullptr) *type = item.node->type;
    if (count != nullptr) *count = item.node->count;
}

// The application's group that the writer's announced groups lead to, or null.
const MetadataNode* announced_group(const SaveSource& save) {
    return save.announced.empty() ? save.metadata : save.announced.back();
}

// The application's value of that name under the announced groups.
const MetadataNode* announced_value(const SaveSource& save, const char* name, uint32_t id) {
    const MetadataNode* group = announced_group(save);
    if (group == nullptr) return nullptr;
    for (const MetadataNode& child : group->children) {
        if (child.kind == KV_METAD_VALUE && child.name == name && child.id == id) return &child;
    }
    return nullptr;
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

extern "C" int32_t kvhost_IO_metad_item_add(HostStream* stream, uint32_t format, const char** name, uint32_t* id,
                                            int32_t* kind, void** value, int32_t* type, uint32_t* count,
                                            int32_t*) {
    const FlatItem* item = next_item(stream, format);
    if (item == nullptr) return 0;
    item_out(*item, name, id, kind, type, count);
    if (value != nullptr) {
        *value = item->kind == KV_METAD_VALUE && item->node->has_data
                     ? const_cast<uint8_t*>(item->node->data.data())
                     : nullptr;
    }
    return 1;
}

extern "C" HostStatus kvhost_GPr_IO_metad_item_convert_add(HostStream* stream, uint32_t tag, uint32_t format,
                                                          const char** name, uint32_t* id, int32_t* kind,
                                                          void** value, int32_t* type, uint32_t* count, int32_t*,
                                                          uint32_t* length, int32_t* delivered) {
    if (value != nullptr) *value = nullptr;
    if (length != nullptr) *length = 0;
    if (delivered != nullptr) *delivered = 0;
    const FlatItem* item = next_item(stream, format);
    if (item == nullptr) return 0;
    item_out(*item, name, id, kind, type, count);
    if (delivered != nullptr) *delivered = 1;
    if (item->kind != KV_METAD_VALUE || value == nullptr) return 0;
    uint32_t size = 0;
    const HostStatus status = value_convert(tag, *item->node, value, &size);
    if (length != nullptr) *length = size;
    return status;
}

// The writer opens and closes the groups of the fields it announces; the
// path locates the application's values for them.
extern "C" HostStatus kvhost_IO_metad_item_set(HostStream* stream, uint32_t format, const char* name, uint32_t id,
                                               int32_t kind, const void*, int32_t, uint32_t, int32_t,
                                               void** out_value, int32_t*, uint32_t*) {
    if (out_value != nullptr) *out_value = nullptr;
    if (stream == nullptr || stream->save == nullptr || format != KV_FORMAT_GIF || name == nullptr) return 0;
    SaveSource& save = *stream->save;
    if (kind == KV_METAD_GROUP_BEGIN) {
        const MetadataNode* parent = announced_group(save);
        save.announced.push_back(parent != nullptr ? parent->child(name, id) : nullptr);
    } else if (kind == KV_METAD_GROUP_END && !save.announced.empty()) {
        save.announced.pop_back();
    }
    return 0;
}

extern "C" HostStatus kvhost_GPr_IO_metad_item_convert_set(HostStream* stream, uint32_t tag, uint32_t format,
                                                          const char* name, uint32_t id, int32_t, const void*,
                                                          int32_t type, uint32_t, int32_t, void** replacement,
                                                          int32_t* out_type, uint32_t*, int32_t*,
                                                          int32_t* replaced) {
    if (replacement != nullptr) *replacement = nullptr;
    if (replaced != nullptr) *replaced = 0;
    if (stream == nullptr || stream->save == nullptr || format != KV_FORMAT_GIF || name == nullptr) return 0;
    const MetadataNode* value = announced_value(*stream->save, name, id);
    if (value == nullptr || !value->has_data || !is_numeric(value->type) || !is_numeric(type) ||
        replacement == nullptr) {
        return 0;
    }
    *replacement = number_block(tag, value->number(0), type);
    if (*replacement == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kNoMemory, "replacement value", tag,
                                 numeric_size(type));
    }
    if (out_type != nullptr) *out_type = type;
    if (replaced != nullptr) *replaced = 1;
    return 0;
}
