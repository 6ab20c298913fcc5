// Metadata items reported by a load (IO_metad_item_get for groups,
// GPr_IO_metad_item_convert_get for values) become a tree on the stream.
#include "kvhost/errors.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <cstring>

namespace kvhost {

const MetadataNode* MetadataNode::child(const std::string& child_name, uint32_t child_id) const {
    for (const MetadataNode& node : children) {
        if (node.name == child_name && (child_id == 0 || node.id == child_id)) return &node;
    }
    return nullptr;
}

uint64_t MetadataNode::number(uint32_t i) const {
    switch (type) {
        case KV_METAD_TYPE_U8:
            return i < data.size() ? data[i] : 0;
        case KV_METAD_TYPE_U16: {
            if (size_t{i} * 2 + 2 > data.size()) return 0;
            uint16_t v;
            std::memcpy(&v, data.data() + size_t{i} * 2, 2);
            return v;
        }
        case KV_METAD_TYPE_FLAG: {
            if (size_t{i} * 4 + 4 > data.size()) return 0;
            uint32_t v;
            std::memcpy(&v, data.data() + size_t{i} * 4, 4);
            return v;
        }
        default: return 0;
    }
}

namespace {

constexpr const char* kModule = KVHOST_MODULE("metadata");

// Bytes of data that a value of this type and count occupies.
uint64_t value_bytes(int32_t type, uint32_t count) {
    switch (type) {
        case KV_METAD_TYPE_U8:
        case KV_METAD_TYPE_CHARS:
        case KV_METAD_TYPE_BYTES: return count;
        case KV_METAD_TYPE_U16: return uint64_t{count} * 2;
        case KV_METAD_TYPE_FLAG: return uint64_t{count} * 4;
        default: return 0;
    }
}

MetadataNode& current_group(MetadataTree& tree) { return tree.open.empty() ? tree.root : *tree.open.back(); }

MetadataNode new_node(int32_t kind, const char* name, uint32_t id, uint32_t format) {
    MetadataNode node;
    node.kind = kind;
    node.name = name;
    node.id = id;
    node.format = format;
    return node;
}

HostStatus add_item(HostStream* stream, uint32_t format, const char* name, uint32_t id, int32_t kind,
                    const void* data, int32_t type, uint32_t count, int32_t last) {
    if (stream == nullptr || name == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument, "metadata item without stream or name");
    }
    if (!stream->sink.keeps_metadata) return 0;
    MetadataTree& tree = stream->sink.metadata;
    const uint64_t heap = std::strlen(name) + (kind == KV_METAD_VALUE && data != nullptr ? value_bytes(type, count) : 0);
    if (kind != KV_METAD_GROUP_END && !keep_for_load(stream, sizeof(MetadataNode), heap, "metadata items")) {
        // Groups begun past the budget still end, so the tree stays balanced.
        if (kind == KV_METAD_GROUP_BEGIN) ++tree.dropped_groups;
        return error_status();
    }
    switch (kind) {
        case KV_METAD_GROUP_BEGIN: {
            MetadataNode node = new_node(KV_METAD_GROUP_BEGIN, name, id, format);
            MetadataNode& parent = current_group(tree);
            parent.children.push_back(std::move(node));
            tree.open.push_back(&parent.children.back());
            return 0;
        }
        case KV_METAD_GROUP_END: {
            if (tree.dropped_groups != 0) {
                --tree.dropped_groups;
                return error_status();
            }
            if (tree.open.empty() || tree.open.back()->name != name || tree.open.back()->id != id) {
                tree.balanced = false;
                return record_host_error(kModule, __LINE__, host_error::kBadArgument,
                                         std::string("metadata group end without its begin: ") + name);
            }
            tree.open.pop_back();
            return 0;
        }
        case KV_METAD_VALUE: {
            MetadataNode node = new_node(KV_METAD_VALUE, name, id, format);
            node.type = type;
            node.count = count;
            node.last = last;
            node.has_data = data != nullptr;
            if (data != nullptr) {
                const auto* bytes = static_cast<const uint8_t*>(data);
                node.data.assign(bytes, bytes + value_bytes(type, count));
            }
            current_group(tree).children.push_back(std::move(node));
            return 0;
        }
        default:
            return record_host_error(kModule, __LINE__, host_error::kBadArgument,
                                     "metadata item of kind " + std::to_string(kind));
    }
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

extern "C" HostStatus kvhost_IO_metad_item_get(HostStream* stream, uint32_t format, const char* name, uint32_t id,
                                               int32_t kind, const void* value, int32_t type, uint32_t count,
                                               int32_t last) {
    return add_item(stream, format, name, id, kind, value, type, count, last);
}

extern "C" HostStatus kvhost_GPr_IO_metad_item_convert_get(HostStream* stream, uint32_t, uint32_t format,
                                                           const char* name, uint32_t id, int32_t kind,
                                                           const void* data, int32_t type, uint32_t count,
                                                           int32_t last) {
    return add_item(stream, format, name, id, kind, data, type, count, last);
}
