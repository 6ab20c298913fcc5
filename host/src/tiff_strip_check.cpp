// Damage that a TIFF's strips show without decoding them into rows: their
// extents against the file, and a walk over their LZW codes that counts the
// bytes they would give (string lengths only, no strings).
#include "kvhost/tiff.h"

#include "kvhost/stream.h"

#include <algorithm>
#include <string>

namespace kvhost {
namespace {

// Bytes the strip must decode to: its rows (the last strip may hold fewer)
// of the strip's row layout.
uint64_t expected_strip_bytes(const TiffImage& t, uint32_t strip) {
    const uint32_t per_plane = t.strips_per_plane > 0 ? static_cast<uint32_t>(t.strips_per_plane) : 1;
    const uint64_t rps = t.rows_per_strip > 0 ? static_cast<uint64_t>(t.rows_per_strip) : t.height;
    const uint64_t first = uint64_t{strip % per_plane} * rps;
    if (first >= t.height) return 0;
    const uint64_t rows = std::min<uint64_t>(rps, t.height - first);
    uint64_t bits = 0;
    for (int16_t b : t.bits_per_sample) bits += static_cast<uint64_t>(b > 0 ? b : 0);
    if (t.planar_config == 2) return rows * ((static_cast<uint64_t>(t.bits_per_sample[0]) * t.width + 7) / 8);
    if (t.photometric == 6) {
        const uint64_t h = std::max<uint16_t>(t.subsampling[0], 1), v = std::max<uint16_t>(t.subsampling[1], 1);
        return (rows + v - 1) / v * (h * v + 2) * ((t.width + h - 1) / h);
    }
    return rows * ((bits * t.width + 7) / 8);
}

uint8_t reversed(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

// Walks the codes as the decoder reads them (new-style or old-style, the
// width growing at the same points) until `expected` bytes are reached.
// Empty when the data gives them; otherwise what went wrong.
std::string check_codes(const std::vector<uint8_t>& data, uint16_t fill_order, uint64_t expected) {
    const uint32_t b0 = data.size() > 0 ? data[0] : 0, b1 = data.size() > 1 ? data[1] : 0;
    const bool old_style = ((b1 << 8 | b0) & 0x1FF) == 256;
    const uint32_t early = old_style ? 0 : 1;
    uint16_t length[4096];
    std::fill(length, length + 256, uint16_t{1});
    uint32_t width = 9, next = 258, threshold = 512 - early, prev = 0xFFFF;
    uint64_t acc = 0, produced = 0;
    uint32_t held = 0;
    size_t at = 0;
    auto tally = [&](const char* what) {
        return what + std::to_string(produced) + " of " + std::to_string(expected) + " bytes";
    };
    while (produced < expected) {
        while (held < width && at < data.size()) {
            const uint8_t byte = data[at++];
            if (old_style) acc |= uint64_t{byte} << held;
            else acc = acc << 8 | (fill_order == 2 ? reversed(byte) : byte);
            held += 8;
        }
        if (held < width) return tally("LZW data ends without an end code after ");
        const uint32_t mask = (1u << width) - 1;
        const auto code = static_cast<uint32_t>(old_style ? acc & mask : acc >> (held - width) & mask);
        if (old_style) acc >>= width;
        held -= width;
        if (code == 257) return tally("LZW end code after ");
        if (code == 256) {
            width = 9, next = 258, threshold = 512 - early, prev = 0xFFFF;
            continue;
        }
        if (prev == 0xFFFF) {
            if (code > 255) return "LZW code " + std::to_string(code) + " where a byte code is due, after " + tally("");
            length[code] = 1;
            produced += 1;
            prev = code;
            continue;
        }
        if (code > next) {
            return "LZW code " + std::to_string(code) + " above the next code " + std::to_string(next) + ", after " +
                   tally("");
        }
        const uint32_t made = length[prev] + 1u;
        produced += code == next ? made : length[code];
        length[next] = static_cast<uint16_t>(std::min<uint32_t>(made, 4096));
        if (next < 4095 && ++next == threshold && next != 4095) threshold = (1u << ++width) - early;
        prev = code;
    }
    return {};
}

}  // namespace

std::vector<StripDamage> tiff_strip_damage(HostStream* stream, const TiffImage& t) {
    std::vector<StripDamage> damage;
    if (stream == nullptr || stream->backend == nullptr || t.bits_per_sample.empty()) return damage;
    const uint64_t file_size = static_cast<uint64_t>(std::max<int64_t>(stream->backend->size(), 0));
    for (uint32_t s = 0; s < t.strip_offsets.size(); ++s) {
        const uint64_t expected = expected_strip_bytes(t, s);
        if (expected == 0) continue;
        const uint64_t offset = t.strip_offsets[s];
        const uint64_t count = s < t.strip_byte_counts.size() ? t.strip_byte_counts[s] : 0;
        if (offset >= file_size) {
            damage.push_back({s, "starts at byte " + std::to_string(offset) + ", past the end of the file (" +
                                     std::to_string(file_size) + " bytes)"});
            continue;
        }
        if (count != 0 && offset + count > file_size) {
            damage.push_back({s, "cut short: " + std::to_string(file_size - offset) + " of its " +
                                     std::to_string(count) + " bytes are in the file"});
            continue;
        }
        // A missing byte count reads to the end of the file, as the service does.
        std::vector<uint8_t> data(count != 0 ? count : file_size - offset);
        data.resize(stream->backend->read(static_cast<int64_t>(offset), data.data(), data.size()));
        std::string problem = check_codes(data, t.fill_order, expected);
        if (!problem.empty()) damage.push_back({s, std::move(problem)});
    }
    return damage;
}

}  // namespace kvhost
