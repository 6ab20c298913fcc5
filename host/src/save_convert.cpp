// The conversion of an image being saved to palette indices of 1, 4 or 8
// bits (IO_DIB_convert_get, GPb_PixStruct_create/_delete,
// GPb_FC_GetConversionParamsForSaving, IO_raster_convert_get). Colours are
// kept exactly: an image that needs more than 256 colours has no conversion.
#include "kvhost/errors.h"
#include "kvhost/image.h"
#include "kvhost/stream.h"
#include "service_impl.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

struct HostPixStruct {
    uint32_t kind;
    uint32_t bits;
};

namespace kvhost {
namespace {

constexpr const char* kModule = KVHOST_MODULE("save_convert");
constexpr uint32_t kPaletteKind = 3;

uint32_t colour_at(const SaveRaster& r, const uint8_t* row, uint32_t x) {
    switch (r.kind) {
        case SaveRaster::Kind::kGrey: return row[x] * 0x010101u;
        case SaveRaster::Kind::kRgb: return uint32_t{row[x * 3]} << 16 | row[x * 3 + 1] << 8 | row[x * 3 + 2];
        case SaveRaster::Kind::kRgba: return uint32_t{row[x * 4]} << 16 | row[x * 4 + 1] << 8 | row[x * 4 + 2];
        default: return 0;
    }
}

uint32_t index_at(const SaveRaster& r, const uint8_t* row, uint32_t x) {
    if (r.depth == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1;
    return row[x];
}

// The distinct colours of a grey or RGB(A) image, sorted; false beyond 256.
// Alpha is not kept: a GIF pixel has none (transparency is one palette entry).
bool distinct_colours(const SaveRaster& r, std::vector<uint32_t>* colours) {
    // No more than 257 colours are ever held, so a small open-addressing
    // set does (colours are 24-bit: the all-ones word marks a free slot).
    constexpr uint32_t kSlots = 512;
    constexpr uint32_t kFree = 0xFFFFFFFF;
    uint32_t slots[kSlots];
    std::fill(std::begin(slots), std::end(slots), kFree);
    uint32_t count = 0;
    uint32_t last = kFree;
    for (uint32_t y = 0; y < r.height; ++y) {
        const uint8_t* row = r.pixels + size_t{y} * r.row_size;
        for (uint32_t x = 0; x < r.width; ++x) {
            const uint32_t c = colour_at(r, row, x);
            if (c == last) continue;
            last = c;
            uint32_t i = (c * 0x9E3779B1u) >> 23;
            while (slots[i] != kFree && slots[i] != c) i = (i + 1) & (kSlots - 1);
            if (slots[i] == c) continue;
            if (++count > 256) return false;
            slots[i] = c;
            colours->push_back(c);
        }
    }
    std::sort(colours->begin(), colours->end());
    return true;
}

// Entries a palette image needs: its palette, and every index it uses. A
// palette of 256 entries already holds every index a byte can be.
uint32_t palette_entries_needed(const SaveRaster& r) {
    const auto needed = static_cast<uint32_t>(r.palette.size() / 4);
    if (r.depth == 1) return std::max(needed, 2u);
    if (needed >= 256) return needed;
    uint8_t largest = 0;
    for (uint32_t y = 0; y < r.height; ++y) {
        const uint8_t* row = r.pixels + size_t{y} * r.row_size;
        for (uint32_t x = 0; x < r.width; ++x) largest = std::max(largest, row[x]);
    }
    return std::max<uint32_t>(needed, largest + 1u);
}

std::unique_ptr<SaveConversion> conversion_for(const SaveRaster& r, HostPixStruct** formats, uint32_t count) {
    auto conversion = std::make_unique<SaveConversion>();
    uint32_t needed = 0;
    if (r.kind == SaveRaster::Kind::kPalette) {
        needed = palette_entries_needed(r);
        if (needed > 256) return nullptr;
    } else {
        if (!distinct_colours(r, &conversion->colours)) return nullptr;
        needed = static_cast<uint32_t>(conversion->colours.size());
    }
    uint32_t depth = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const HostPixStruct* f = formats[i];
        if (f == nullptr || f->kind != kPaletteKind || f->bits > 8 || (1u << f->bits) < needed) continue;
        if (depth == 0 || f->bits < depth) depth = f->bits;
    }
    if (depth == 0) return nullptr;
    conversion->depth = depth;
    conversion->palette.assign(size_t{4} << depth, 0);
    if (r.kind == SaveRaster::Kind::kPalette) {
        std::copy(r.palette.begin(), r.palette.begin() + std::min(r.palette.size(), conversion->palette.size()),
                  conversion->palette.begin());
    } else {
        for (size_t i = 0; i < conversion->colours.size(); ++i) {
            const uint32_t c = conversion->colours[i];
            conversion->palette[i * 4] = static_cast<uint8_t>(c);
            conversion->palette[i * 4 + 1] = static_cast<uint8_t>(c >> 8);
            conversion->palette[i * 4 + 2] = static_cast<uint8_t>(c >> 16);
        }
    }
    return conversion;
}

// Palette rows keep their layout unless one-byte indices are packed to
// bits; such rows are handed out as they are, with no copy.
bool rows_pass_through(const SaveRaster& r, const SaveConversion& c) {
    return r.kind == SaveRaster::Kind::kPalette && (r.depth == 1) == (c.depth == 1);
}

// One row of the image as palette indices in the converted layout.
void row_convert(const SaveRaster& r, const SaveConversion& c, uint32_t y, uint8_t* out) {
    const uint8_t* row = r.pixels + size_t{y} * r.row_size;
    const bool packed = c.depth == 1;
    if (packed) std::memset(out, 0, (r.width + 7) / 8);
    uint32_t last_colour = 0xFFFFFFFF, last_index = 0;
    for (uint32_t x = 0; x < r.width; ++x) {
        uint32_t index = 0;
        if (r.kind == SaveRaster::Kind::kPalette) {
            index = index_at(r, row, x);
        } else {
            const uint32_t colour = colour_at(r, row, x);
            if (colour != last_colour) {
                last_colour = colour;
                last_index = static_cast<uint32_t>(std::lower_bound(c.colours.begin(), c.colours.end(), colour) -
                                                   c.colours.begin());
            }
            index = last_index;
        }
        if (packed) {
            out[x >> 3] = static_cast<uint8_t>(out[x >> 3] | (index << (7 - (x & 7))));
        } else {
            out[x] = static_cast<uint8_t>(index);
        }
    }
}

HostDibInfo* description_of(const SaveRaster& r, uint32_t depth, uint32_t colorspace, uint32_t channels) {
    auto* dib = new (std::nothrow) HostDibInfo;
    if (dib == nullptr) return nullptr;
    dib->width = r.width;
    dib->height = r.height;
    dib->depth = depth;
    dib->colorspace = colorspace;
    dib->channels = channels;
    dib->bits_per_channel = colorspace == colorspace::kPalette ? depth : 8;
    dib->channel_depths.assign(channels, dib->bits_per_channel);
    return dib;
}

HostDibInfo* source_description(SaveSource& save) {
    const SaveRaster& r = save.raster;
    HostDibInfo* dib = nullptr;
    switch (r.kind) {
        case SaveRaster::Kind::kPalette:
            dib = description_of(r, r.depth, colorspace::kPalette, 1);
            if (dib != nullptr) dib->palette = r.palette;
            break;
        case SaveRaster::Kind::kGrey: dib = description_of(r, 8, colorspace::kGrey, 1); break;
        case SaveRaster::Kind::kRgb: dib = description_of(r, 24, colorspace::kRgb, 3); break;
        case SaveRaster::Kind::kRgba: dib = description_of(r, 32, colorspace::kRgba, 4); break;
    }
    if (dib != nullptr) dib->save_source = &save;
    return dib;
}

HostStatus no_memory(int32_t line, const char* what) {
    return record_host_error(kModule, line, host_error::kNoMemory, what);
}

}  // namespace
}  // namespace kvhost

using namespace kvhost;

extern "C" HostPixStruct* kvhost_GPb_PixStruct_create(uint32_t kind, uint32_t bits) {
    return new (std::nothrow) HostPixStruct{kind, bits};
}

extern "C" HostStatus kvhost_GPb_PixStruct_delete(HostPixStruct* pix) {
    delete pix;
    return 0;
}

// Chooses the smallest palette format offered that holds the image's colours;
// null when none does. The answer stays with the save it belongs to.
extern "C" void* kvhost_GPb_FC_GetConversionParamsForSaving(HostDibInfo* dib, HostPixStruct** formats,
                                                            uint32_t count) {
    if (dib == nullptr || dib->save_source == nullptr || formats == nullptr) return nullptr;
    SaveSource& save = *dib->save_source;
    save.conversion = conversion_for(save.raster, formats, count);
    return save.conversion.get();
}

// Describes the stream's image, lets the callback choose the format, and
// hands back the description of the converted image (the caller deletes it).
extern "C" HostStatus kvhost_IO_DIB_convert_get(HostStream* stream, HostDibInfo** dib_out, SaveFormatSelectFn select,
                                               void*, uint32_t) {
    if (dib_out != nullptr) *dib_out = nullptr;
    if (stream == nullptr || stream->save == nullptr || dib_out == nullptr || select == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument, "IO_DIB_convert_get without an image");
    }
    SaveSource& save = *stream->save;
    HostDibInfo* source = source_description(save);
    if (source == nullptr) return no_memory(__LINE__, "image description");
    void* params = nullptr;
    HostStatus status = select(source, nullptr, nullptr, &params);
    delete source;
    if (status != 0) return status;
    if (params == nullptr || params != save.conversion.get()) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument, "no conversion was chosen");
    }
    HostDibInfo* converted = description_of(save.raster, save.conversion->depth, colorspace::kPalette, 1);
    if (converted == nullptr) return no_memory(__LINE__, "image description");
    converted->palette = save.conversion->palette;
    converted->palette_allocated = true;
    try {
        save.row.assign(host_row_size(save.raster.width, save.conversion->depth, 1, save.conversion->depth), 0);
    } catch (const std::bad_alloc&) {
        delete converted;
        return no_memory(__LINE__, "converted row");
    }
    *dib_out = converted;
    return 0;
}

extern "C" HostStatus kvhost_IO_raster_convert_get(HostStream* stream, int64_t row_index, const void** row_out) {
    if (row_out != nullptr) *row_out = nullptr;
    if (stream == nullptr || stream->save == nullptr || stream->save->conversion == nullptr || row_out == nullptr) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument, "no converted image to deliver");
    }
    SaveSource& save = *stream->save;
    if (row_index < 0 || row_index >= save.raster.height) {
        return record_host_error(kModule, __LINE__, host_error::kBadArgument,
                                 "row " + std::to_string(row_index) + " outside the image");
    }
    if (stream->faults.fail_converted_row == 0) {
        return record_host_error(kModule, __LINE__, host_error::kStream, "row delivery refused (injected)");
    }
    if (stream->faults.fail_converted_row > 0) --stream->faults.fail_converted_row;
    if (stream->faults.null_converted_row == row_index) return 0;
    const uint8_t stray_bits = save.conversion->depth == 4 ? stream->faults.stray_index_bits : 0;
    if (rows_pass_through(save.raster, *save.conversion) && stray_bits == 0) {
        *row_out = save.raster.pixels + size_t(row_index) * save.raster.row_size;
        return 0;
    }
    row_convert(save.raster, *save.conversion, static_cast<uint32_t>(row_index), save.row.data());
    if (stray_bits != 0) {
        for (uint8_t& index : save.row) index |= stray_bits;
    }
    *row_out = save.row.data();
    return 0;
}
