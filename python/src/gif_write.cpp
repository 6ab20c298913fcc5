// GIF writing from arrays: each frame becomes palette indices (RGB and RGBA
// frames keep their exact colours, at most 256 of them) and is saved as one
// page, the first as a new GIF (unless appending) and the rest appended.
#include "native.h"

#include "gif_extensions.h"
#include "kvhost/gif_save.h"

#include <pybind11/stl.h>

#include <array>
#include <cstring>
#include <optional>

namespace kvpy {
namespace {

using kvhost::gif::SaveImage;

struct FrameIn {
    py::array_t<uint8_t, py::array::c_style | py::array::forcecast> pixels;
    std::optional<py::array_t<uint8_t, py::array::c_style | py::array::forcecast>> palette;
    uint16_t delay_cs = 0;
    uint8_t disposal = 0;
};

struct Indexed {
    SaveImage image;
    std::optional<uint8_t> transparent;
};

// A colour table of at most 256 entries filled in order of first appearance.
class ColourTable {
public:
    ColourTable() { keys_.fill(kEmpty); }
    // The colour's index, or -1 when it would be the 257th.
    int index_of(uint32_t key) {
        size_t slot = (key * 2654435761u) >> 23;  // 9 bits: 512 slots
        while (keys_[slot] != kEmpty) {
            if (keys_[slot] == key) return values_[slot];
            slot = (slot + 1) & 511;
        }
        if (count_ == 256) return -1;
        keys_[slot] = key;
        values_[slot] = static_cast<uint8_t>(count_);
        order_[count_] = key;
        return count_++;
    }
    int count() const { return count_; }
    uint32_t key(int i) const { return order_[i]; }

private:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    std::array<uint32_t, 512> keys_;
    std::array<uint8_t, 512> values_{};
    std::array<uint32_t, 256> order_{};
    int count_ = 0;
};

// Pixels of alpha 0 share one entry, the transparent index.
constexpr uint32_t kTransparentKey = 0x01000000u;

// False when the frame has more than 256 colours.
bool index_colours(const uint8_t* pixels, size_t count, int channels, Indexed* out) {
    ColourTable table;
    out->image.pixels.resize(count);
    uint8_t* o = out->image.pixels.data();
    uint32_t last_key = kTransparentKey + 1;  // no pixel has it
    uint8_t last_index = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = pixels + i * channels;
        const uint32_t key = channels == 4 && p[3] == 0 ? kTransparentKey : uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
        if (key != last_key) {
            const int index = table.index_of(key);
            if (index < 0) return false;
            last_key = key;
            last_index = static_cast<uint8_t>(index);
        }
        o[i] = last_index;
    }
    out->image.palette.assign(size_t(table.count()) * 4, 0);
    for (int i = 0; i < table.count(); ++i) {
        const uint32_t key = table.key(i);
        if (key == kTransparentKey) {
            out->transparent = static_cast<uint8_t>(i);
            continue;
        }
        out->image.palette[i * 4 + 0] = static_cast<uint8_t>(key >> 16);
        out->image.palette[i * 4 + 1] = static_cast<uint8_t>(key >> 8);
        out->image.palette[i * 4 + 2] = static_cast<uint8_t>(key);
    }
    return true;
}

// An index past the palette gives the index (false).
bool take_indices(const FrameIn& f, Indexed* out, int* bad_index) {
    const auto& palette = *f.palette;
    const size_t entries = palette.shape(0), channels = palette.shape(1);
    const uint8_t* p = palette.data();
    out->image.palette.assign(entries * 4, 0);
    for (size_t i = 0; i < entries; ++i) {
        out->image.palette[i * 4 + 0] = p[i * channels + 2];
        out->image.palette[i * 4 + 1] = p[i * channels + 1];
        out->image.palette[i * 4 + 2] = p[i * channels + 0];
        if (channels == 4 && p[i * channels + 3] == 0 && !out->transparent) out->transparent = static_cast<uint8_t>(i);
    }
    const uint8_t* in = f.pixels.data();
    const size_t count = f.pixels.size();
    uint8_t largest = 0;
    for (size_t i = 0; i < count; ++i) largest = in[i] > largest ? in[i] : largest;
    if (count != 0 && largest >= entries) {
        *bad_index = largest;
        return false;
    }
    out->image.pixels.assign(in, in + count);
    return true;
}

struct WriteOptions {
    uint32_t version = 89;
    bool interlace = false;
    bool append = false;
    std::optional<uint16_t> loop;
    std::optional<std::string> comment;
};

py::bytes write(py::object existing, const py::list& frames, const WriteOptions& options, const Limits& limits) {
    std::vector<FrameIn> in;
    for (const py::handle item : frames) {
        const py::tuple t = item.cast<py::tuple>();
        FrameIn f;
        f.pixels = t[0].cast<decltype(f.pixels)>();
        if (!t[1].is_none()) f.palette = t[1].cast<decltype(f.pixels)>();
        f.delay_cs = t[2].cast<uint16_t>();
        f.disposal = t[3].cast<uint8_t>();
        in.push_back(std::move(f));
    }
    std::vector<uint8_t> gif;
    if (!existing.is_none()) {
        const std::string bytes = existing.cast<std::string>();
        gif.assign(bytes.begin(), bytes.end());
    }
    std::string refusal;
    Failure failure;
    {
        py::gil_scoped_release unlocked;
        Budget budget(limits);
        for (size_t i = 0; i < in.size() && refusal.empty() && failure.status == 0; ++i) {
            const FrameIn& f = in[i];
            Indexed indexed;
            indexed.image.kind = SaveImage::Kind::kPalette;
            indexed.image.depth = 8;
            indexed.image.height = static_cast<uint32_t>(f.pixels.shape(0));
            indexed.image.width = static_cast<uint32_t>(f.pixels.shape(1));
            int bad_index = 0;
            if (f.palette) {
                if (!take_indices(f, &indexed, &bad_index)) {
                    refusal = "frame " + std::to_string(i) + " has index " + std::to_string(bad_index) + " past its palette of " +
                              std::to_string(f.palette->shape(0)) + " entries";
                }
            } else if (!index_colours(f.pixels.data(), size_t{indexed.image.width} * indexed.image.height,
                                      static_cast<int>(f.pixels.shape(2)), &indexed)) {
                refusal = "frame " + std::to_string(i) +
                          " has more than 256 colours, which a GIF cannot hold: quantize it first (with Pillow, "
                          "Image.fromarray(frame).quantize(256))";
            }
            if (!refusal.empty()) break;
            kvtool::PageExtensions extensions;
            if (i == 0) {
                extensions.loop_count = options.loop;
                extensions.comment = options.comment;
            }
            extensions.delay = f.delay_cs;
            extensions.disposal = f.disposal;
            extensions.transparent = indexed.transparent;
            const kvhost::MetadataNode metadata = kvtool::page_metadata(extensions);
            kvhost::gif::SaveOptions save;
            save.append = options.append || i != 0;
            save.version = options.version;
            save.interlace = options.interlace;
            // GIF87a has no extension blocks to carry the metadata.
            if (options.version != 87) save.metadata = &metadata;
            const kvhost::gif::SaveResult result = kvhost::gif::save_page(kvhost::gif::Destination::memory(&gif), indexed.image, save);
            if (!result.ok()) failure = Failure{result.status, result.errors};
        }
    }
    if (!refusal.empty()) throw py::value_error(refusal);
    if (failure.status != 0) raise_failure(failure, "cannot write the GIF");
    return py::bytes(reinterpret_cast<const char*>(gif.data()), gif.size());
}

}  // namespace

void bind_gif_write(py::module_& m) {
    m.def(
        "gif_write",
        [](py::object existing, const py::list& frames, uint32_t version, bool interlace, bool append,
           std::optional<uint16_t> loop, std::optional<py::bytes> comment, uint64_t max_memory) {
            WriteOptions options;
            options.version = version;
            options.interlace = interlace;
            options.append = append;
            options.loop = loop;
            if (comment) options.comment = comment->cast<std::string>();
            return write(std::move(existing), frames, options, Limits{0, max_memory});
        },
        py::arg("existing"), py::arg("frames"), py::arg("version"), py::arg("interlace"), py::arg("append"),
        py::arg("loop"), py::arg("comment"), py::arg("max_memory"));
}

}  // namespace kvpy
