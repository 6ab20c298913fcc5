// The GIF half of decode and info: one page through the component, written
// as a palette PNG or bare indices, or described with its metadata and tags.
#include "decoders.h"
#include "image_output.h"
#include "kvhost/gif.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

namespace kvtool {
namespace {

// Why page N cannot be read: past the last page says how many there are.
void complain_about_page(kvhost::gif::PageReader& reader, const Input& input, uint32_t page, const char* verb) {
    const uint32_t shown = page == 0 ? 1 : page;
    const kvhost::gif::CountResult count = reader.count();
    if (count.count_written && shown > count.count) {
        complain(input.name() + ": page " + std::to_string(shown) + " of " + std::to_string(count.count) +
                 ": the file has " + std::to_string(count.count) + " page" + (count.count == 1 ? "" : "s"));
        return;
    }
    complain(std::string("cannot ") + verb + " page " + std::to_string(shown) + " of " + input.name());
}

// --page N (default 1); false after a usage error message.
bool page_of(const ParsedArgs& args, const char* command, uint32_t* page, int* exit_code) {
    uint64_t value = 1;
    if (args.has("--page") && (!parse_number(args.value("--page"), &value) || value > UINT32_MAX)) {
        *exit_code = usage_error(command, "--page needs a whole number");
        return false;
    }
    *page = static_cast<uint32_t>(value);
    return true;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Characters as text, with anything unprintable as \xNN.
std::string printable(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            text += static_cast<char>(b);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
            text += escaped;
        }
    }
    return text;
}

bool is_number_type(int32_t type) {
    return type == KV_METAD_TYPE_U8 || type == KV_METAD_TYPE_U16 || type == KV_METAD_TYPE_FLAG;
}

std::string value_text(const kvhost::MetadataNode& node) {
    if (!node.has_data) return "(none)";
    if (node.type == KV_METAD_TYPE_CHARS) return "\"" + printable(node.data) + "\"";
    if (is_number_type(node.type)) {
        std::string text;
        for (uint32_t i = 0; i < node.count; ++i) text += (i ? " " : "") + std::to_string(node.number(i));
        return text;
    }
    return std::to_string(node.data.size()) + " bytes" + (node.data.size() <= 32 ? ": " + hex(node.data) : "");
}

void print_tree(const kvhost::MetadataNode& node, int depth) {
    for (const kvhost::MetadataNode& child : node.children) {
        std::printf("%*s%s (%u)", depth * 2 + 2, "", child.name.c_str(), child.id);
        if (child.kind == KV_METAD_VALUE) std::printf(" = %s", value_text(child).c_str());
        std::printf("\n");
        if (child.kind == KV_METAD_GROUP_BEGIN) print_tree(child, depth + 1);
    }
}

std::string json_value(const kvhost::MetadataNode& node) {
    if (!node.has_data) return "null";
    if (node.type == KV_METAD_TYPE_CHARS) return json_string(std::string(node.data.begin(), node.data.end()));
    if (is_number_type(node.type)) {
        if (node.count == 1) return std::to_string(node.number(0));
        std::string text = "[";
        for (uint32_t i = 0; i < node.count; ++i) text += (i ? ", " : "") + std::to_string(node.number(i));
        return text + "]";
    }
    return json_string(hex(node.data));
}

std::string json_tree(const kvhost::MetadataNode& node) {
    std::string text = "[";
    for (size_t i = 0; i < node.children.size(); ++i) {
        const kvhost::MetadataNode& child = node.children[i];
        text += i ? ", " : "";
        text += "{\"name\": " + json_string(child.name) + ", \"id\": " + std::to_string(child.id);
        if (child.kind == KV_METAD_VALUE) {
            text += ", \"type\": " + std::to_string(child.type) + ", \"count\": " + std::to_string(child.count) +
                    ", \"value\": " + json_value(child);
        } else {
            text += ", \"children\": " + json_tree(child);
        }
        text += "}";
    }
    return text + "]";
}

std::string extension_text(const kvhost::ExtensionCopy& e, bool json) {
    char head[160];
    switch (e.label) {
        case KV_GIF_EXT_GRAPHIC_CONTROL:
            std::snprintf(head, sizeof head,
                          json ? "\"graphic control\", \"fields\": %u, \"delay\": %u, \"transparent_index\": %u"
                               : "graphic control: fields %u, delay %u, transparent index %u",
                          e.fields, e.delay_time, e.transparent_index);
            return head;
        case KV_GIF_EXT_PLAIN_TEXT:
            std::snprintf(head, sizeof head,
                          json ? "\"plain text\", \"grid\": [%u, %u, %u, %u], \"data_length\": %zu"
                               : "plain text: grid %u,%u %ux%u, %zu data bytes",
                          e.grid[0], e.grid[1], e.grid[2], e.grid[3], e.data.size());
            return head;
        case KV_GIF_EXT_COMMENT:
            return json ? "\"comment\", \"data\": " + json_string(std::string(e.data.begin(), e.data.end()))
                        : "comment: \"" + printable(e.data) + "\"";
        case KV_GIF_EXT_APPLICATION: {
            const std::vector<uint8_t> id(e.identifier, e.identifier + 8);
            return json ? "\"application\", \"identifier\": " + json_string(std::string(id.begin(), id.end())) +
                              ", \"auth_code\": " + json_string(std::string(e.auth_code.begin(), e.auth_code.end())) +
                              ", \"data\": " + json_string(hex(e.data))
                        : "application: \"" + printable(id) + "\" \"" + printable(e.auth_code) + "\", " +
                              std::to_string(e.data.size()) + " data bytes";
        }
        default: return json ? "\"unknown\"" : "unknown extension";
    }
}

// The bytes of a colour table tag that its fields use (none when the flag
// is clear); the tag itself holds the whole 768-byte table field.
std::vector<uint8_t> used_table(const kvhost::TagEntry& tag, const kvhost::TagStore& tags) {
    const kvhost::TagEntry* fields =
        tags.find(tag.tag == KV_GIF_TAG_GLOBAL_TABLE ? KV_GIF_TAG_SCREEN_FIELDS : KV_GIF_TAG_IMAGE_FIELDS);
    if (fields == nullptr || fields->bytes.empty() || (fields->bytes[0] & 0x80) == 0) return {};
    const size_t size = std::min(tag.bytes.size(), size_t{3} << ((fields->bytes[0] & 7) + 1));
    return std::vector<uint8_t>(tag.bytes.begin(), tag.bytes.begin() + size);
}

std::string tag_text(const kvhost::TagEntry& tag, const kvhost::TagStore& tags, bool json) {
    if (tag.tag == KV_GIF_TAG_GLOBAL_TABLE || tag.tag == KV_GIF_TAG_LOCAL_TABLE) {
        const std::vector<uint8_t> used = used_table(tag, tags);
        if (json) return json_string(hex(used));
        return used.empty() ? "no table" : std::to_string(used.size() / 3) + " entries: " + hex(used);
    }
    switch (tag.kind) {
        case kvhost::TagEntry::Kind::kWord: return std::to_string(tag.word);
        case kvhost::TagEntry::Kind::kByte: return std::to_string(tag.bytes.empty() ? 0 : tag.bytes[0]);
        case kvhost::TagEntry::Kind::kExtension:
            return json ? "{\"kind\": " + extension_text(tag.extension, true) + "}" : extension_text(tag.extension, false);
        case kvhost::TagEntry::Kind::kBytes:
            if (tag.tag == KV_GIF_TAG_VERSION) {
                return json ? json_string(std::string(tag.bytes.begin(), tag.bytes.end())) : "\"" + printable(tag.bytes) + "\"";
            }
            return json ? json_string(hex(tag.bytes)) : std::to_string(tag.bytes.size()) + " bytes";
    }
    return "";
}

struct PageFacts {
    std::string signature;
    std::string version;
    uint64_t screen_width = 0, screen_height = 0;
    uint64_t left = 0, top = 0;
    uint64_t table_entries = 0;  // of the colour table the page uses
    bool has_control = false;    // a graphic control extension before the image
    bool has_transparency = false;
    uint64_t transparent_index = 0;
    bool has_colour = false;
    uint8_t colour[3] = {0, 0, 0};  // red, green, blue
    uint64_t delay = 0, disposal = 0, background = 0;
};

uint64_t number_at(const kvhost::MetadataNode* group, const char* name) {
    const kvhost::MetadataNode* v = group != nullptr ? group->child(name) : nullptr;
    return v != nullptr && v->has_data ? v->number() : 0;
}

// The entries of a table whose flag and size fields sit in this group.
uint64_t table_entries(const kvhost::MetadataNode* fields, const char* flag, const char* size) {
    return number_at(fields, flag) != 0 ? uint64_t{2} << (number_at(fields, size) & 7) : 0;
}

// What the description reports, from its metadata tree: the page's graphic
// control is the last one before its image, as the reader applies it.
PageFacts facts_of(const kvhost::gif::PageResult& r) {
    PageFacts f;
    const kvhost::MetadataNode* root = r.metadata.child("GIF");
    if (root == nullptr) return f;
    if (const kvhost::MetadataNode* header = root->child("GIFHeader")) {
        if (const kvhost::MetadataNode* v = header->child("Signature")) f.signature = v->text();
        if (const kvhost::MetadataNode* v = header->child("Version")) f.version = v->text();
    }
    const kvhost::MetadataNode* screen = root->child("LogicalScreenDescriptor");
    f.screen_width = number_at(screen, "LogicalScreenWidth");
    f.screen_height = number_at(screen, "LogicalScreenHeight");
    f.background = number_at(screen, "BackgroundColorIndex");
    const kvhost::MetadataNode* image = root->child("ImageDescriptor");
    f.left = number_at(image, "ImageLeftPosition");
    f.top = number_at(image, "ImageTopPosition");
    f.table_entries = table_entries(image != nullptr ? image->child("Fields") : nullptr, "LocalColorTableFlag",
                                    "LocalColorTableSize");
    if (f.table_entries == 0) {
        f.table_entries = table_entries(screen != nullptr ? screen->child("Fields") : nullptr, "GlobalColorTableFlag",
                                        "GlobalColorTableSize");
    }
    const kvhost::MetadataNode* control = nullptr;
    for (const kvhost::MetadataNode& child : root->children) {
        if (child.name == "GraphicControlExtension") control = &child;
    }
    if (control == nullptr) return f;
    f.has_control = true;
    const kvhost::MetadataNode* fields = control->child("Fields");
    f.delay = number_at(control, "DelayTime");
    f.disposal = number_at(fields, "DisposalMethod");
    f.has_transparency = number_at(fields, "TransparentColorFlag") != 0;
    f.transparent_index = number_at(control, "TransparentColorIndex");
    // The colour names a table entry only when the index lies inside the table.
    const size_t t = f.transparent_index;
    if (f.has_transparency && t < f.table_entries && t * 4 + 3 <= r.palette.size()) {
        f.has_colour = true;
        f.colour[0] = r.palette[t * 4 + 2];
        f.colour[1] = r.palette[t * 4 + 1];
        f.colour[2] = r.palette[t * 4];
    }
    return f;
}

// A page's delay in milliseconds as the frames composition counts it: a
// delay of at most 10 ms, or none, shows for the default of 100 ms.
uint64_t shown_delay_ms(const PageFacts& f) {
    constexpr uint64_t kMinimumMs = 10, kDefaultMs = 100;
    const uint64_t ms = f.has_control ? f.delay * 10 : 0;
    return ms > kMinimumMs ? ms : kDefaultMs;
}

// The animation's total duration summed from every page's description
// (nothing is decoded), or "null" when a page cannot be described: then
// *unread is that page and *errors its errors.
std::string duration_ms(kvhost::gif::PageReader& reader, uint32_t pages, uint32_t* unread,
                        std::vector<kvhost::ErrorRecord>* errors) {
    uint64_t total = 0;
    for (uint32_t page = 1; page <= pages; ++page) {
        kvhost::gif::PageResult described = reader.info(page);
        if (!described.described) {
            *unread = page;
            *errors = std::move(described.errors);
            return "null";
        }
        total += shown_delay_ms(facts_of(described));
    }
    return std::to_string(total);
}

void print_text(const kvhost::gif::PageResult& r, const PageFacts& f, uint32_t pages, uint32_t page,
                const std::string& duration) {
    std::printf("%s%s, logical screen %llux%llu, %u page%s, duration %s\n", f.signature.c_str(), f.version.c_str(),
                (unsigned long long)f.screen_width, (unsigned long long)f.screen_height, pages, pages == 1 ? "" : "s",
                duration == "null" ? "unknown" : (duration + " ms").c_str());
    std::printf("page %u: %ux%u at (%llu, %llu), depth %u, palette %zu entries, %s\n", page == 0 ? 1 : page,
                r.width, r.height, (unsigned long long)f.left, (unsigned long long)f.top, r.depth,
                (size_t)f.table_entries, r.settings.interlace ? "interlaced" : "not interlaced");
    if (f.has_transparency) {
        std::printf("  transparent index %llu", (unsigned long long)f.transparent_index);
        if (f.has_colour) std::printf(", colour (%u, %u, %u)", f.colour[0], f.colour[1], f.colour[2]);
        std::printf("\n");
    } else {
        std::printf("  no transparency\n");
    }
    std::printf("  delay %llu, disposal %llu, background index %llu\n", (unsigned long long)f.delay,
                (unsigned long long)f.disposal, (unsigned long long)f.background);
    std::printf("metadata:\n");
    print_tree(r.metadata, 0);
    std::printf("tags:\n");
    for (const kvhost::TagEntry& tag : r.tags.entries) {
        std::printf("  %u = %s\n", tag.tag, tag_text(tag, r.tags, false).c_str());
    }
}

void print_json(const kvhost::gif::PageResult& r, const PageFacts& f, uint32_t pages, uint32_t page,
                const std::string& duration) {
    std::string tags = "[";
    for (size_t i = 0; i < r.tags.entries.size(); ++i) {
        const kvhost::TagEntry& tag = r.tags.entries[i];
        tags += (i ? ", " : "") + std::string("{\"tag\": ") + std::to_string(tag.tag) +
                ", \"value\": " + tag_text(tag, r.tags, true) + "}";
    }
    tags += "]";
    std::string colour = "null";
    if (f.has_colour) {
        colour = "[" + std::to_string(f.colour[0]) + ", " + std::to_string(f.colour[1]) + ", " +
                 std::to_string(f.colour[2]) + "]";
    }
    std::printf(
        "{\"format\": \"GIF\", \"version\": %s, \"pages\": %u, \"duration_ms\": %s, \"screen\": {\"width\": %llu, \"height\": %llu}, "
        "\"page\": {\"number\": %u, \"left\": %llu, \"top\": %llu, \"width\": %u, \"height\": %u, \"depth\": %u, "
        "\"palette_entries\": %zu, \"interlaced\": %s, \"transparent_index\": %s, \"transparent_color\": %s, "
        "\"delay\": %llu, \"disposal\": %llu, \"background_index\": %llu}, \"metadata\": %s, \"tags\": %s}\n",
        json_string(f.version).c_str(), pages, duration.c_str(), (unsigned long long)f.screen_width, (unsigned long long)f.screen_height,
        page == 0 ? 1 : page, (unsigned long long)f.left, (unsigned long long)f.top, r.width, r.height,
        r.depth, (size_t)f.table_entries, r.settings.interlace ? "true" : "false",
        f.has_transparency ? std::to_string(f.transparent_index).c_str() : "null", colour.c_str(),
        (unsigned long long)f.delay, (unsigned long long)f.disposal, (unsigned long long)f.background,
        json_tree(r.metadata).c_str(), tags.c_str());
}

// The page's size is checked before its pixels are decoded; its description
// (metadata and tags included) is let go before the decoding starts.
bool page_size_allowed(kvhost::gif::PageReader& reader, const Input& input, uint32_t page) {
    const kvhost::gif::PageResult described = reader.info(page);
    if (!described.described) {
        print_errors(described.errors);
        complain_about_page(reader, input, page, "decode");
        return false;
    }
    return pixels_allowed(input.name(), described.width, described.height);
}

}  // namespace

bool gif_page_complete(const kvhost::gif::PageResult& r) {
    return r.image != nullptr && r.image->rows_delivered >= r.image->height;
}

int decode_gif(const ParsedArgs& args, const Input& input) {
    int exit_code = kExitOk;
    uint32_t page = 1;
    if (!page_of(args, "decode", &page, &exit_code)) return exit_code;
    const std::string out = args.value("-o");
    if (out.empty()) return usage_error("decode", "needs -o OUT.png or -o OUT.bin");
    const OutputKind kind = output_kind(out);
    if (kind == OutputKind::kUnknown) return usage_error("decode", "OUT must end in .png or .bin");
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;

    // One reader for the description and the load: the file is read once,
    // and the pages before this one are passed over once.
    kvhost::gif::PageReader reader(input.gif_source());
    if (!page_size_allowed(reader, input, page)) return kExitFailure;
    // Whether the data holds every pixel is found beside the load, on a
    // second core, rather than after it; that core then gives back the
    // pages passed over to reach this one while the page is written (the
    // thread is joined before the reader goes).
    std::promise<bool> checked;
    std::future<bool> check_result = checked.get_future();
    std::jthread check([&checked, test = reader.completeness_check(page), release = reader.release_before(page)] {
        checked.set_value(test());
        release();
    });
    const kvhost::gif::PageResult r = reader.load(page);
    const bool complete = check_result.get();
    // A damaged file whose page still arrived whole is written, as other
    // decoders do, with its errors as warnings; --strict refuses it.
    const bool recovered = !r.ok() && gif_page_complete(r) && !args.has("--strict");
    if (!(r.ok() && r.image != nullptr) && !recovered) {
        print_errors(r.errors);
        complain_about_page(reader, input, page, "decode");
        return kExitFailure;
    }
    // Rows the data does not reach arrive as zeros: such a page is not the
    // image, and is written only when asked for.
    if (!complete) {
        const std::string what = input.name() + ": page " + std::to_string(page == 0 ? 1 : page) +
                                 ": the LZW data ends before the image's last pixel";
        if (!args.has("--partial")) {
            print_errors(r.errors);
            complain(what + " (--partial writes it with the missing rows zero)");
            return kExitFailure;
        }
        complain("warning: " + what + "; the missing rows are zero");
    }
    print_errors(r.errors, "warning: ");
    std::string error;
    if (kind == OutputKind::kBin) {
        if (!write_palette_indices(out, *r.image, &error)) {
            complain(error);
            return kExitFailure;
        }
        return kExitOk;
    }
    PngRaster raster;
    if (!raster_from_image(*r.image, &raster, &error)) {
        complain(error);
        return kExitFailure;
    }
    // Indices past the table (the data may hold any byte) still need a
    // palette entry in a PNG; they show black.
    uint8_t largest = 0;
    for (uint8_t index : raster.sample_bytes()) largest = index > largest ? index : largest;
    if (size_t{largest} * 3 + 3 > raster.palette_rgb.size()) raster.palette_rgb.resize(size_t{largest} * 3 + 3, 0);
    if (r.has_attribute(KV_ATTR_TRANSPARENT_INDEX)) {
        const size_t t = r.attribute(KV_ATTR_TRANSPARENT_INDEX) & 0xFF;
        if (t * 3 + 3 > raster.palette_rgb.size()) raster.palette_rgb.resize(t * 3 + 3, 0);
        raster.palette_alpha.assign(t + 1, 255);
        raster.palette_alpha[t] = 0;
    }
    if (!write_png(out, raster, png_level(args), &error)) {
        complain(error);
        return kExitFailure;
    }
    return kExitOk;
}

int info_gif(const ParsedArgs& args, const Input& input) {
    int exit_code = kExitOk;
    uint32_t page = 1;
    if (!page_of(args, "info", &page, &exit_code)) return exit_code;
    auto component = load_component(args);
    if (component == nullptr) return kExitFailure;
    // The page is described, never decoded: a huge image costs nothing.
    kvhost::gif::PageReader reader(input.gif_source());
    const kvhost::gif::CountResult count = reader.count();
    const kvhost::gif::PageResult r = reader.info(page);
    if (!r.described) {
        print_errors(r.errors);
        complain_about_page(reader, input, page, "read");
        return kExitFailure;
    }
    const PageFacts facts = facts_of(r);
    uint32_t unread = 0;
    std::vector<kvhost::ErrorRecord> unread_errors;
    const std::string duration = duration_ms(reader, count.count, &unread, &unread_errors);
    if (args.has("--json")) {
        print_json(r, facts, count.count, page, duration);
    } else {
        print_text(r, facts, count.count, page, duration);
    }
    // What was read is shown; errors after it (such as a missing trailer)
    // still make the command fail.
    print_errors(count.errors);
    print_errors(r.errors);
    // A page that is counted but cannot be read fails info as it fails
    // decode, frames and copy.
    if (unread != 0) {
        print_errors(unread_errors);
        complain("cannot read page " + std::to_string(unread) + " of " + input.name());
    }
    return r.ok() && count.status == 0 && unread == 0 ? kExitOk : kExitFailure;
}

}  // namespace kvtool
