#include "png_input.h"

#include "deflate_library.h"
#include "kvhost/huge_pages.h"
#include "png_rows.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace kvtool {
namespace {

// A GIF's screen and image sizes are 16-bit fields.
constexpr uint32_t kLargestSide = 65535;
constexpr uint8_t kSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
// What one byte of deflate data can inflate to at most (a 258-byte match
// coded in two bits): an image needing more than this from its IDAT bytes
// cannot be complete, and is refused before its memory is taken.
constexpr uint64_t kMostInflation = 1032;
// Room past the image for a stream that carries more data than it.
constexpr size_t kExtraRoom = size_t{64} << 10;

enum Colour : uint8_t { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgba = 6 };

uint32_t big_endian(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

struct Header {
    uint32_t width = 0, height = 0;
    uint8_t depth = 0, colour = 0;
    bool interlaced = false;

    uint32_t channels() const {
        switch (colour) {
            case kRgb: return 3;
            case kGreyAlpha: return 2;
            case kRgba: return 4;
            default: return 1;
        }
    }
    size_t row_bytes(uint32_t pixels) const { return (size_t{pixels} * channels() * depth + 7) / 8; }
    size_t pixel_bytes() const { return std::max<size_t>(1, channels() * depth / 8); }
};

bool fail(std::string* error, const std::string& why) {
    *error = "PNG: " + why;
    return false;
}

bool read_header(const uint8_t* data, Header* header, std::string* error) {
    header->width = big_endian(data);
    header->height = big_endian(data + 4);
    header->depth = data[8];
    header->colour = data[9];
    header->interlaced = data[12] == 1;
    if (header->width == 0 || header->height == 0 || header->width > 0x7FFFFFFF || header->height > 0x7FFFFFFF)
        return fail(error, "invalid image size in IHDR");
    if (header->width > kLargestSide || header->height > kLargestSide)
        return fail(error, "image larger than a GIF can hold (65535 pixels a side)");
    const uint8_t d = header->depth;
    bool valid_depth = false;
    switch (header->colour) {
        case kGrey: valid_depth = d == 1 || d == 2 || d == 4 || d == 8 || d == 16; break;
        case kPalette: valid_depth = d == 1 || d == 2 || d == 4 || d == 8; break;
        case kRgb:
        case kGreyAlpha:
        case kRgba: valid_depth = d == 8 || d == 16; break;
        default: return fail(error, "invalid colour type in IHDR");
    }
    if (!valid_depth) return fail(error, "invalid bit depth for the colour type in IHDR");
    if (data[10] != 0 || data[11] != 0 || data[12] > 1)
        return fail(error, "unknown compression, filter or interlace method in IHDR");
    return true;
}

// What the chunks say: the header, the palette, the transparency and the
// pieces of the compressed image data.
struct Chunks {
    Header header;
    std::vector<uint8_t> palette_rgb;
    const uint8_t* transparency = nullptr;
    size_t transparency_size = 0;
    std::vector<std::pair<const uint8_t*, size_t>> image_data;
};

bool is_chunk(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

// A palette as PLTE stores it, cut to the entries the depth can index.
bool read_palette(const uint8_t* data, size_t size, Chunks* chunks, std::string* error) {
    if (!chunks->palette_rgb.empty()) return fail(error, "duplicate PLTE");
    if (size == 0 || size % 3 != 0 || size > 256 * 3) {
        if (chunks->header.colour == kPalette) return fail(error, "invalid PLTE");
        return true;  // only a suggestion for other colour types
    }
    if (chunks->header.colour != kPalette) return true;
    const size_t entries = std::min(size / 3, size_t{1} << chunks->header.depth);
    chunks->palette_rgb.assign(data, data + entries * 3);
    return true;
}

// tRNS is kept where it fits the colour type; elsewhere, like a damaged
// ancillary chunk, it is passed over.
void read_transparency(const uint8_t* data, size_t size, Chunks* chunks) {
    if (chunks->transparency != nullptr) return;
    const uint8_t colour = chunks->header.colour;
    const bool fits = colour == kPalette   ? !chunks->palette_rgb.empty() && size > 0 && size <= chunks->palette_rgb.size() / 3
                      : colour == kGrey ? size == 2
                      : colour == kRgb  ? size == 6
                                        : false;
    if (!fits) return;
    chunks->transparency = data;
    chunks->transparency_size = size;
}

// Walks the chunks up to IEND, checking every critical chunk's CRC.
bool read_chunks(const Libdeflate& deflate, const uint8_t* bytes, size_t size, Chunks* chunks, std::string* error) {
    size_t at = sizeof kSignature;
    bool have_header = false, data_seen = false, data_ended = false;
    for (;;) {
        if (size - at < 8) return fail(error, "file truncated");
        const size_t length = big_endian(bytes + at);
        const uint8_t* type = bytes + at + 4;
        const uint8_t* data = type + 4;
        if (length > 0x7FFFFFFF) return fail(error, "invalid chunk length");
        if (size - at - 8 < length + 4) return fail(error, "file truncated");
        for (int i = 0; i < 4; ++i) {
            if ((type[i] | 0x20) < 'a' || (type[i] | 0x20) > 'z') return fail(error, "invalid chunk type");
        }
        const std::string name(reinterpret_cast<const char*>(type), 4);
        const bool critical = (type[0] & 0x20) == 0;
        const bool crc_ok = deflate.crc32(0, type, length + 4) == big_endian(data + length);
        at += length + 12;
        if (!crc_ok) {
            if (critical) return fail(error, name + ": CRC error");
            continue;
        }
        if (!have_header) {
            if (!is_chunk(type, "IHDR") || length != 13) return fail(error, "missing IHDR");
            if (!read_header(data, &chunks->header, error)) return false;
            have_header = true;
            continue;
        }
        const bool image_data = is_chunk(type, "IDAT");
        if (data_seen && !image_data) data_ended = true;
        if (image_data) {
            if (chunks->header.colour == kPalette && chunks->palette_rgb.empty())
                return fail(error, "missing PLTE before IDAT");
            data_seen = true;
            // Image data after other chunks that followed it is passed over.
            if (!data_ended && length > 0) chunks->image_data.emplace_back(data, length);
        } else if (is_chunk(type, "IEND")) {
            if (!data_seen) return fail(error, "no image data");
            return true;
        } else if (is_chunk(type, "PLTE")) {
            // Too late to colour the image read: passed over, as other readers do.
            if (!data_seen && !read_palette(data, length, chunks, error)) return false;
        } else if (is_chunk(type, "tRNS")) {
            if (!data_seen) read_transparency(data, length, chunks);
        } else if (is_chunk(type, "IHDR")) {
            return fail(error, "duplicate IHDR");
        }
    }
}

// The image's filtered rows as one stream: all rows, or Adam7's seven
// passes one after the other.
size_t inflated_size(const Header& header) {
    if (!header.interlaced) return header.height * (header.row_bytes(header.width) + 1);
    size_t total = 0;
    for (int pass = 0; pass < 7; ++pass) {
        static constexpr uint32_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kDx[7] = {8, 8, 4, 4, 2, 2, 1};
        static constexpr uint32_t kY0[7] = {0, 0, 4, 0, 2, 0, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
        const uint32_t w = header.width > kX0[pass] ? (header.width - kX0[pass] + kDx[pass] - 1) / kDx[pass] : 0;
        const uint32_t h = header.height > kY0[pass] ? (header.height - kY0[pass] + kDy[pass] - 1) / kDy[pass] : 0;
        if (w != 0) total += h * (header.row_bytes(w) + 1);
    }
    return total;
}

// The rows of a stream that libdeflate will not read whole (data damaged
// or running on far past the image's end after its rows): inflated a piece
// at a time up to the image's end and no further, as other readers do.
bool inflate_rows_only(const uint8_t* stream, size_t stream_size, size_t expected, std::vector<uint8_t>* rows,
                       std::string* error) {
    const Zlib* zlib = load_zlib(error);
    if (zlib == nullptr) return false;
    z_stream z{};
    if (zlib->inflateInit2_(&z, 15, ZLIB_VERSION, static_cast<int>(sizeof z)) != Z_OK) return fail(error, "out of memory");
    rows->resize(expected);
    size_t in = 0, out = 0;
    int result = Z_OK;
    while (result == Z_OK && out < expected) {
        z.next_in = const_cast<Bytef*>(stream + in);
        z.avail_in = static_cast<uInt>(std::min<size_t>(stream_size - in, UINT32_MAX));
        z.next_out = rows->data() + out;
        z.avail_out = static_cast<uInt>(std::min<size_t>(expected - out, UINT32_MAX));
        const uInt offered_in = z.avail_in, offered_out = z.avail_out;
        result = zlib->inflate(&z, Z_NO_FLUSH);
        in += offered_in - z.avail_in;
        out += offered_out - z.avail_out;
        if (offered_in == z.avail_in && offered_out == z.avail_out) break;  // no progress: the data ran out
    }
    zlib->inflateEnd(&z);
    if (out == expected) return true;
    return fail(error, result == Z_DATA_ERROR ? "damaged compressed image data" : "not enough image data");
}

struct DecompressorDeleter {
    const Libdeflate* deflate;
    void operator()(libdeflate_decompressor* d) const { deflate->free_decompressor(d); }
};

// Inflates the zlib stream of the image data into *rows (its size the
// image's). zlib's Adler-32 is not checked: the chunks' CRCs already cover
// every compressed byte.
bool inflate(const Libdeflate& deflate, const Chunks& chunks, std::vector<uint8_t>* rows, std::string* error) {
    std::vector<uint8_t> joined;
    const uint8_t* stream = chunks.image_data.empty() ? nullptr : chunks.image_data[0].first;
    size_t stream_size = chunks.image_data.empty() ? 0 : chunks.image_data[0].second;
    if (chunks.image_data.size() > 1) {
        for (const auto& [data, length] : chunks.image_data) joined.insert(joined.end(), data, data + length);
        stream = joined.data();
        stream_size = joined.size();
    }
    const size_t expected = inflated_size(chunks.header);
    if (expected / kMostInflation > stream_size) return fail(error, "not enough image data");
    if (stream_size < 2 || (stream[0] & 0x0F) != 8 || (stream[0] >> 4) > 7 || (stream[0] << 8 | stream[1]) % 31 != 0 ||
        (stream[1] & 0x20) != 0)
        return fail(error, "invalid zlib header in the image data");
    const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(deflate.alloc_decompressor(),
                                                                                     DecompressorDeleter{&deflate});
    if (decompressor == nullptr) return fail(error, "out of memory");
    const size_t room = expected + kExtraRoom;
    rows->reserve(room);
    kvhost::advise_huge_pages(rows->data(), rows->capacity());
    rows->resize(room);
    size_t produced = 0;
    const libdeflate_result result = deflate.deflate_decompress_ex(decompressor.get(), stream + 2, stream_size - 2,
                                                                   rows->data(), room, nullptr, &produced);
    if (result != LIBDEFLATE_SUCCESS) return inflate_rows_only(stream, stream_size, expected, rows, error);
    if (produced < expected) return fail(error, "not enough image data");
    rows->resize(expected);
    return true;
}

// One sample of a row of 1-, 2-, 4- or 8-bit samples.
uint32_t packed_sample(const uint8_t* row, size_t index, uint32_t depth) {
    if (depth == 8) return row[index];
    const size_t bit = index * depth;
    return (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
}

uint8_t to_eight_bits(uint32_t value, uint32_t depth) {
    switch (depth) {
        case 1: return static_cast<uint8_t>(value * 255);
        case 2: return static_cast<uint8_t>(value * 85);
        case 4: return static_cast<uint8_t>(value * 17);
        case 16: return static_cast<uint8_t>((value * 255 + 32895) >> 16);
        default: return static_cast<uint8_t>(value);
    }
}

// Writes the `count` pixels of an unfiltered row to the raster, `step`
// pixels apart from `out`: palette indices as bytes, anything else as RGBA.
class RowConverter {
public:
    explicit RowConverter(const Chunks& chunks) : header_(chunks.header) {
        if (chunks.transparency == nullptr || header_.colour == kPalette) return;
        keyed_ = true;
        // A key past the depth's range is read by its low bits, as other readers do.
        const uint32_t mask = header_.depth == 16 ? 0xFFFF : (1u << header_.depth) - 1;
        for (uint32_t c = 0; c < chunks.transparency_size / 2; ++c)
            key_[c] = (uint32_t{chunks.transparency[2 * c]} << 8 | chunks.transparency[2 * c + 1]) & mask;
    }

    void convert(const uint8_t* row, uint32_t count, uint8_t* out, size_t step) const {
        const uint32_t depth = header_.depth;
        if (header_.colour == kPalette) {
            for (uint32_t x = 0; x < count; ++x) out[x * step] = static_cast<uint8_t>(packed_sample(row, x, depth));
            return;
        }
        const uint32_t channels = header_.channels();
        const bool colour = header_.colour == kRgb || header_.colour == kRgba;
        const bool alpha = header_.colour == kGreyAlpha || header_.colour == kRgba;
        uint32_t v[4];
        for (uint32_t x = 0; x < count; ++x) {
            for (uint32_t c = 0; c < channels; ++c) {
                v[c] = depth == 16 ? uint32_t{row[(size_t{x} * channels + c) * 2]} << 8 | row[(size_t{x} * channels + c) * 2 + 1]
                                   : packed_sample(row, size_t{x} * channels + c, depth);
            }
            uint8_t* pixel = out + size_t{x} * step * 4;
            pixel[0] = to_eight_bits(v[0], depth);
            pixel[1] = to_eight_bits(v[colour ? 1 : 0], depth);
            pixel[2] = to_eight_bits(v[colour ? 2 : 0], depth);
            if (alpha) {
                pixel[3] = to_eight_bits(v[channels - 1], depth);
            } else {
                const bool clear = keyed_ && v[0] == key_[0] && (!colour || (v[1] == key_[1] && v[2] == key_[2]));
                pixel[3] = clear ? 0 : 255;
            }
        }
    }

private:
    const Header& header_;
    bool keyed_ = false;
    uint32_t key_[3] = {};
};

// Undoes the filters of the `height` rows of `row_bytes` bytes (each after
// its filter byte) starting at `rows`, in place.
bool unfilter_rows(uint8_t* rows, uint32_t height, size_t row_bytes, size_t pixel_bytes, std::string* error) {
    const std::vector<uint8_t> zeros(row_bytes, 0);
    const uint8_t* prior = zeros.data();
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = rows + size_t{y} * (row_bytes + 1);
        if (!unfilter_png_row(row[0], row + 1, prior, row_bytes, pixel_bytes)) return fail(error, "bad filter type");
        prior = row + 1;
    }
    return true;
}

bool build_raster(const Chunks& chunks, std::vector<uint8_t>&& rows, PngRaster* raster, std::string* error) {
    const Header& header = chunks.header;
    raster->width = header.width;
    raster->height = header.height;
    raster->bit_depth = 8;
    raster->kind = header.colour == kPalette ? PngRaster::Kind::kPalette : PngRaster::Kind::kRgba;
    const size_t out_bytes = raster->kind == PngRaster::Kind::kPalette ? 1 : 4;
    const RowConverter converter(chunks);
    if (!header.interlaced) {
        const size_t row_bytes = header.row_bytes(header.width);
        if (!unfilter_rows(rows.data(), header.height, row_bytes, header.pixel_bytes(), error)) return false;
        if (header.colour == kPalette && header.depth == 8) {
            // The indices are the rows already: they close up over their filter bytes.
            for (uint32_t y = 0; y < header.height; ++y)
                std::memmove(rows.data() + size_t{y} * row_bytes, rows.data() + size_t{y} * (row_bytes + 1) + 1, row_bytes);
            rows.resize(size_t{header.height} * row_bytes);
            raster->samples = std::move(rows);
            return true;
        }
        raster->samples.resize(size_t{header.width} * header.height * out_bytes);
        for (uint32_t y = 0; y < header.height; ++y) {
            converter.convert(rows.data() + size_t{y} * (row_bytes + 1) + 1, header.width,
                              raster->samples.data() + size_t{y} * header.width * out_bytes, 1);
        }
        return true;
    }
    raster->samples.resize(size_t{header.width} * header.height * out_bytes);
    static constexpr uint32_t kX0[7] = {0, 4, 0, 2, 0, 1, 0}, kDx[7] = {8, 8, 4, 4, 2, 2, 1};
    static constexpr uint32_t kY0[7] = {0, 0, 4, 0, 2, 0, 1}, kDy[7] = {8, 8, 8, 4, 4, 2, 2};
    uint8_t* pass_rows = rows.data();
    for (int pass = 0; pass < 7; ++pass) {
        const uint32_t w = header.width > kX0[pass] ? (header.width - kX0[pass] + kDx[pass] - 1) / kDx[pass] : 0;
        const uint32_t h = header.height > kY0[pass] ? (header.height - kY0[pass] + kDy[pass] - 1) / kDy[pass] : 0;
        if (w == 0 || h == 0) continue;
        const size_t row_bytes = header.row_bytes(w);
        if (!unfilter_rows(pass_rows, h, row_bytes, header.pixel_bytes(), error)) return false;
        for (uint32_t j = 0; j < h; ++j) {
            const size_t y = kY0[pass] + size_t{j} * kDy[pass];
            converter.convert(pass_rows + size_t{j} * (row_bytes + 1) + 1, w,
                              raster->samples.data() + (y * header.width + kX0[pass]) * out_bytes, kDx[pass]);
        }
        pass_rows += size_t{h} * (row_bytes + 1);
    }
    return true;
}

}  // namespace

bool read_png(const uint8_t* data, size_t size, const std::string& name, PngRaster* raster, std::string* error) {
    *raster = PngRaster{};
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
        *error = name + " is not a PNG file";
        return false;
    }
    const Libdeflate* deflate = load_libdeflate(error);
    if (deflate == nullptr) return false;
    Chunks chunks;
    std::vector<uint8_t> rows;
    if (!read_chunks(*deflate, data, size, &chunks, error) || !inflate(*deflate, chunks, &rows, error) ||
        !build_raster(chunks, std::move(rows), raster, error)) {
        *error = name + ": " + *error;
        return false;
    }
    if (chunks.header.colour == kPalette) {
        raster->palette_rgb = chunks.palette_rgb;
        if (chunks.transparency != nullptr)
            raster->palette_alpha.assign(chunks.transparency, chunks.transparency + chunks.transparency_size);
    }
    return true;
}

}  // namespace kvtool
