// GIF pages: one page's pixels with its description, metadata and tags,
// or every page's description without pixels; and a page's indices seen
// through its palette as RGBA.
#include "native.h"

#include "kvhost/gif.h"

#include <cstring>

namespace kvpy {
namespace {

using kvhost::MetadataNode;
using kvhost::TagEntry;

// Bytes of the file as text, whatever they hold.
py::str latin1(const std::vector<uint8_t>& bytes) {
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes.data()), static_cast<py::ssize_t>(bytes.size()), nullptr));
}

py::object node_value(const MetadataNode& node) {
    if (!node.has_data) return py::none();
    if (node.type == KV_METAD_TYPE_CHARS) return latin1(node.data);
    if (node.type == KV_METAD_TYPE_U8 || node.type == KV_METAD_TYPE_U16 || node.type == KV_METAD_TYPE_FLAG) {
        if (node.count == 1) return py::int_(node.number(0));
        py::list values;
        for (uint32_t i = 0; i < node.count; ++i) values.append(node.number(i));
        return values;
    }
    return py::bytes(reinterpret_cast<const char*>(node.data.data()), node.data.size());
}

// (name, id, value, children): children is None for a value.
py::tuple node_object(const MetadataNode& node) {
    if (node.kind == KV_METAD_VALUE) return py::make_tuple(node.name, node.id, node_value(node), py::none());
    py::list children;
    for (const MetadataNode& child : node.children) children.append(node_object(child));
    return py::make_tuple(node.name, node.id, py::none(), children);
}

py::bytes bytes_of(const std::vector<uint8_t>& v) { return py::bytes(reinterpret_cast<const char*>(v.data()), v.size()); }

py::object extension_object(const kvhost::ExtensionCopy& e) {
    py::dict d;
    d["label"] = e.label;
    switch (e.label) {
        case KV_GIF_EXT_GRAPHIC_CONTROL:
            d["kind"] = "graphic control";
            d["fields"] = e.fields;
            d["delay"] = e.delay_time;
            d["transparent_index"] = e.transparent_index;
            break;
        case KV_GIF_EXT_PLAIN_TEXT:
            d["kind"] = "plain text";
            d["grid"] = py::make_tuple(e.grid[0], e.grid[1], e.grid[2], e.grid[3]);
            d["cell"] = py::make_tuple(e.cell_width, e.cell_height);
            d["foreground_index"] = e.foreground_index;
            d["background_index"] = e.background_index;
            break;
        case KV_GIF_EXT_COMMENT: d["kind"] = "comment"; break;
        case KV_GIF_EXT_APPLICATION:
            d["kind"] = "application";
            d["identifier"] = py::bytes(reinterpret_cast<const char*>(e.identifier), 8);
            d["auth_code"] = bytes_of(e.auth_code);
            break;
        default: d["kind"] = "unknown"; break;
    }
    if (e.has_data) d["data"] = bytes_of(e.data);
    return d;
}

py::list tags_object(const kvhost::TagStore& tags) {
    py::list list;
    for (const TagEntry& t : tags.entries) {
        py::object value;
        switch (t.kind) {
            case TagEntry::Kind::kWord: value = py::int_(t.word); break;
            case TagEntry::Kind::kByte: value = py::int_(t.bytes.empty() ? 0 : t.bytes[0]); break;
            case TagEntry::Kind::kExtension: value = extension_object(t.extension); break;
            case TagEntry::Kind::kBytes: value = bytes_of(t.bytes); break;
        }
        list.append(py::make_tuple(t.tag, value));
    }
    return list;
}

// The loop count of the NETSCAPE2.0 (or ANIMEXTS1.0) block among the page's
// extensions, or None.
py::object loop_count(const kvhost::TagStore& tags) {
    for (const TagEntry& t : tags.entries) {
        if (t.kind != TagEntry::Kind::kExtension || t.extension.label != KV_GIF_EXT_APPLICATION) continue;
        const kvhost::ExtensionCopy& e = t.extension;
        const bool looping = (std::memcmp(e.identifier, "NETSCAPE", 8) == 0 || std::memcmp(e.identifier, "ANIMEXTS", 8) == 0);
        if (looping && e.data.size() >= 3 && e.data[0] == 1) return py::int_(e.data[1] | e.data[2] << 8);
    }
    return py::none();
}

uint64_t metadata_number(const MetadataNode& root, const char* group, const char* name) {
    const MetadataNode* gif = root.child("GIF");
    const MetadataNode* g = gif != nullptr ? gif->child(group) : nullptr;
    const MetadataNode* v = g != nullptr ? g->child(name) : nullptr;
    return v != nullptr ? v->number() : 0;
}

py::str version_of(const kvhost::gif::PageResult& r) {
    const MetadataNode* gif = r.metadata.child("GIF");
    const MetadataNode* header = gif != nullptr ? gif->child("GIFHeader") : nullptr;
    const MetadataNode* v = header != nullptr ? header->child("Version") : nullptr;
    return latin1(v != nullptr ? v->data : std::vector<uint8_t>{});
}

// The page's graphic control: the last one among the extensions before its
// image, as its metadata tree holds them (null when there is none).
const MetadataNode* graphic_control(const MetadataNode& root) {
    const MetadataNode* gif = root.child("GIF");
    const MetadataNode* found = nullptr;
    if (gif != nullptr) {
        for (const MetadataNode& child : gif->children) {
            if (child.name == "GraphicControlExtension") found = &child;
        }
    }
    return found;
}

uint64_t number_at(const MetadataNode* node, const char* name) {
    const MetadataNode* v = node != nullptr ? node->child(name) : nullptr;
    return v != nullptr ? v->number() : 0;
}

// What every page result says about its page, pixels or not.
struct PageFacts {
    uint32_t width = 0, height = 0, depth = 0;
    uint64_t left = 0, top = 0;
    bool interlaced = false;
    bool transparent = false;
    uint64_t transparent_index = 0, delay_ms = 0, disposal = 0, background_index = 0;
};

PageFacts facts_of(const kvhost::gif::PageResult& r) {
    PageFacts f;
    f.width = r.width;
    f.height = r.height;
    f.depth = r.depth;
    f.left = metadata_number(r.metadata, "ImageDescriptor", "ImageLeftPosition");
    f.top = metadata_number(r.metadata, "ImageDescriptor", "ImageTopPosition");
    f.interlaced = r.settings.interlace != 0;
    const MetadataNode* control = graphic_control(r.metadata);
    const MetadataNode* fields = control != nullptr ? control->child("Fields") : nullptr;
    f.transparent = number_at(fields, "TransparentColorFlag") != 0;
    f.transparent_index = number_at(control, "TransparentColorIndex");
    f.delay_ms = number_at(control, "DelayTime") * 10;
    f.disposal = number_at(fields, "DisposalMethod");
    f.background_index = metadata_number(r.metadata, "LogicalScreenDescriptor", "BackgroundColorIndex");
    return f;
}

py::dict fields_object(const PageFacts& f) {
    py::dict d;
    d["width"] = f.width;
    d["height"] = f.height;
    d["left"] = f.left;
    d["top"] = f.top;
    d["depth"] = f.depth;
    d["interlaced"] = f.interlaced;
    d["transparent_index"] = f.transparent ? py::object(py::int_(f.transparent_index)) : py::object(py::none());
    d["delay_ms"] = f.delay_ms;
    d["disposal"] = f.disposal;
    d["background_index"] = f.background_index;
    return d;
}

py::dict read_page(const py::object& src, uint32_t page, const Limits& limits) {
    const Input input(src);
    Failure failure;
    kvhost::gif::PageResult r;
    std::vector<uint8_t> indices;
    bool refused = false;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        kvhost::gif::PageReader reader(input.gif_source());
        kvhost::gif::PageResult described = reader.info(page);
        if (!described.described) {
            failure = Failure{described.status != 0 ? described.status : kvhost::host_error::kUnexpected, described.errors};
            refused = true;
        } else if (pixels_exceed(described.width, described.height, limits, &failure)) {
            refused = true;
        } else {
            r = reader.load(page);
            // A page whose rows all arrived is given, its errors as warnings.
            const bool whole = r.image != nullptr && r.image->rows_delivered >= r.image->height;
            if (!whole) {
                failure = Failure{r.status != 0 ? r.status : kvhost::host_error::kUnexpected, r.errors};
                refused = true;
            } else {
                indices = one_byte_per_pixel(*r.image);
            }
        }
    }
    if (refused) raise_failure(failure, "cannot read page " + std::to_string(page) + " of the GIF");
    PageFacts facts = facts_of(r);
    facts.width = r.image->width;
    facts.height = r.image->height;
    facts.depth = r.image->depth;
    py::dict d = fields_object(facts);
    d["indices"] = take_array<uint8_t>(std::move(indices), {r.image->height, r.image->width});
    d["palette"] = palette_array(r.image->palette.empty() ? r.palette : r.image->palette);
    d["version"] = version_of(r);
    d["metadata"] = node_object(r.metadata);
    d["tags"] = tags_object(r.tags);
    d["warnings"] = records_object(r.errors);
    return d;
}

py::dict describe(const py::object& src, const Limits& limits) {
    const Input input(src);
    kvhost::gif::CountResult count;
    kvhost::gif::PageResult first, failed;
    std::vector<PageFacts> pages;
    std::vector<kvhost::ErrorRecord> warnings;
    bool refused = false;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        kvhost::gif::PageReader reader(input.gif_source());
        count = reader.count();
        refused = !count.count_written || count.count == 0;
        warnings = count.errors;
        for (uint32_t page = 1; !refused && page <= count.count; ++page) {
            kvhost::gif::PageResult r = reader.info(page);
            if (!r.described) {
                failed = std::move(r);
                refused = true;
                break;
            }
            pages.push_back(facts_of(r));
            warnings.insert(warnings.end(), r.errors.begin(), r.errors.end());
            // The first page's tree and tags give the screen and loop count.
            if (page == 1) first = std::move(r);
        }
    }
    if (refused) {
        const bool page_failed = failed.status != 0 || !failed.errors.empty();
        const int32_t status = page_failed ? failed.status : count.status;
        raise_failure(Failure{status != 0 ? status : kvhost::host_error::kUnexpected, page_failed ? failed.errors : count.errors},
                      "cannot describe the GIF");
    }
    py::dict d;
    d["version"] = version_of(first);
    d["screen"] = py::make_tuple(metadata_number(first.metadata, "LogicalScreenDescriptor", "LogicalScreenWidth"),
                                 metadata_number(first.metadata, "LogicalScreenDescriptor", "LogicalScreenHeight"));
    d["loop_count"] = loop_count(first.tags);
    py::list list;
    for (const PageFacts& f : pages) list.append(fields_object(f));
    d["pages"] = list;
    d["warnings"] = records_object(warnings);
    return d;
}

// indices (H x W) through the palette (N x 3): H x W x 4, the transparent
// index (when >= 0) with alpha 0; indices past the palette show black.
py::array rgba(const py::array_t<uint8_t, py::array::c_style | py::array::forcecast>& indices,
               const py::array_t<uint8_t, py::array::c_style | py::array::forcecast>& palette, int transparent) {
    if (indices.ndim() != 2) throw py::value_error("indices must be a 2-dimensional array");
    if (palette.ndim() != 2 || palette.shape(1) != 3 || palette.shape(0) > 256)
        throw py::value_error("palette must be an N x 3 array of at most 256 entries");
    const size_t h = indices.shape(0), w = indices.shape(1);
    uint32_t lut[256];
    for (size_t i = 0; i < 256; ++i) {
        lut[i] = static_cast<py::ssize_t>(i) < palette.shape(0)
                     ? uint32_t{palette.at(i, 0)} | uint32_t{palette.at(i, 1)} << 8 | uint32_t{palette.at(i, 2)} << 16 | 0xFF000000u
                     : 0xFF000000u;
    }
    if (transparent >= 0 && transparent < 256) lut[transparent] &= 0x00FFFFFFu;
    py::array_t<uint8_t> out({h, w, size_t{4}});
    const uint8_t* in = indices.data();
    uint8_t* o = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        palette_lookup(in, h * w, lut, o);
    }
    return out;
}

}  // namespace

void bind_gif(py::module_& m) {
    m.def(
        "gif_read",
        [](const py::object& src, uint32_t page, uint64_t max_pixels, uint64_t max_memory) {
            return read_page(src, page, Limits{max_pixels, max_memory});
        },
        py::arg("src"), py::arg("page"), py::arg("max_pixels"), py::arg("max_memory"));
    m.def(
        "gif_describe",
        [](const py::object& src, uint64_t max_memory) { return describe(src, Limits{0, max_memory}); },
        py::arg("src"), py::arg("max_memory"));
    m.def("rgba", &rgba, py::arg("indices"), py::arg("palette"), py::arg("transparent"));
}

}  // namespace kvpy
