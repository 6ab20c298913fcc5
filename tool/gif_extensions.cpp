#include "gif_extensions.h"

#include "kvlzw/abi.h"

#include <cstring>
#include <initializer_list>

namespace kvtool {
namespace {

using kvhost::MetadataNode;

MetadataNode item(int32_t kind, const char* name, uint32_t id) {
    MetadataNode node;
    node.kind = kind;
    node.name = name;
    node.id = id;
    node.format = KV_FORMAT_GIF;
    return node;
}

MetadataNode group(const char* name, uint32_t id, std::initializer_list<MetadataNode> children) {
    MetadataNode node = item(KV_METAD_GROUP_BEGIN, name, id);
    node.children = children;
    return node;
}

MetadataNode value(const char* name, uint32_t id, int32_t type, uint32_t count, const void* data, size_t size) {
    MetadataNode node = item(KV_METAD_VALUE, name, id);
    node.type = type;
    node.count = count;
    node.has_data = true;
    node.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return node;
}

MetadataNode byte_value(const char* name, uint32_t id, uint8_t v) { return value(name, id, KV_METAD_TYPE_U8, 1, &v, 1); }
MetadataNode word_value(const char* name, uint32_t id, uint16_t v) { return value(name, id, KV_METAD_TYPE_U16, 1, &v, 2); }
MetadataNode flag_value(const char* name, uint32_t id, bool v) {
    const uint32_t flag = v ? 1 : 0;
    return value(name, id, KV_METAD_TYPE_FLAG, 1, &flag, 4);
}
MetadataNode text_value(const char* name, uint32_t id, int32_t type, const std::string& text) {
    return value(name, id, type, static_cast<uint32_t>(text.size()), text.data(), text.size());
}

// "NETSCAPE2.0" with sub-block 1 holding the loop count (0: for ever).
MetadataNode looping_extension(uint16_t loops) {
    const uint8_t data[3] = {1, static_cast<uint8_t>(loops & 0xFF), static_cast<uint8_t>(loops >> 8)};
    return group("ApplicationExtension", 255,
                 {text_value("ApplicationIdentifier", 4081, KV_METAD_TYPE_CHARS, "NETSCAPE"),
                  text_value("Appl.AuthenticationCode", 4082, KV_METAD_TYPE_U8, "2.0"),
                  value("ApplicationData", 4083, KV_METAD_TYPE_BYTES, 3, data, 3)});
}

MetadataNode graphic_control(const PageExtensions& e) {
    return group("GraphicControlExtension", 249,
                 {group("Fields", 3985,
                        {byte_value("DisposalMethod", 3986, e.disposal), flag_value("UserInputFlag", 3987, false),
                         flag_value("TransparentColorFlag", 3988, e.transparent.has_value())}),
                  word_value("DelayTime", 3989, e.delay),
                  byte_value("TransparentColorIndex", 3990, e.transparent.value_or(255))});
}

}  // namespace

MetadataNode page_metadata(const PageExtensions& extensions) {
    MetadataNode gif = group("GIF", KV_FORMAT_GIF, {});
    if (extensions.loop_count) gif.children.push_back(looping_extension(*extensions.loop_count));
    if (extensions.comment)
        gif.children.push_back(text_value("CommentExtension", 254, KV_METAD_TYPE_CHARS, *extensions.comment));
    gif.children.push_back(graphic_control(extensions));
    MetadataNode root;
    root.children.push_back(std::move(gif));
    return root;
}

}  // namespace kvtool
