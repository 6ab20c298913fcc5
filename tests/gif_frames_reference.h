// An independent composition of animated GIF frames from giflib's decoded
// images, by the rules the frames API promises: an indexed canvas of the
// logical screen whose depth follows the first image's colour table,
// started with the background index (first image smaller than the screen)
// or the first transparent index; disposal 2 fills the last rectangle with
// that frame's transparent index (else the first frame's, else the
// background), disposal 3 restores the canvas from before the frame;
// frames are clipped to the screen, and pixels hold the bits of their depth.
#pragma once

#include "gif_test_files.h"

#include <algorithm>

namespace giftest {

struct ReferenceFrames {
    bool ok = false;  // giflib read the whole file, and it has a screen of at most 2^24 pixels
    uint32_t width = 0, height = 0, depth = 0;
    std::vector<std::vector<uint8_t>> frames;  // one index per pixel, rows top to bottom
    std::vector<uint32_t> delays;              // hundredths of a second, 0 without a graphic control
    std::vector<std::vector<uint8_t>> drawn;   // 1 where the frame itself drew the pixel
    std::vector<uint8_t> first_table;          // the first image's colour table, R, G, B
    int first_transparent = -1;                // the first image's transparent index, or -1
};

// The image's graphic control, as giflib reads the last one before it; false
// (and no disposal, delay or transparency) when it has none.
inline bool graphic_control(const SavedImage& image, GraphicsControlBlock* gcb) {
    *gcb = {0, false, 0, NO_TRANSPARENT_COLOR};
    bool found = false;
    for (int k = 0; k < image.ExtensionBlockCount; ++k) {
        const ExtensionBlock& block = image.ExtensionBlocks[k];
        if (block.Function == GRAPHICS_EXT_FUNC_CODE && block.ByteCount >= 4) {
            DGifExtensionToGCB(block.ByteCount, block.Bytes, gcb);
            found = true;
        }
    }
    return found;
}

inline uint32_t canvas_depth_of(uint32_t bits) { return bits > 4 ? 8 : bits >= 2 ? 4 : bits; }
inline uint32_t frame_depth_of(uint32_t bits) { return bits <= 1 ? 1 : bits <= 4 ? 4 : 8; }

// The frames of a GIF giflib read whole, into `out`.
inline void compose_frames(GifFileType* gif, uint32_t screen_bits, ReferenceFrames& out) {
    auto bits_of = [&](const SavedImage& image) {
        return image.ImageDesc.ColorMap != nullptr ? static_cast<uint32_t>(image.ImageDesc.ColorMap->BitsPerPixel)
                                                   : screen_bits;
    };
    out.width = gif->SWidth;
    out.height = gif->SHeight;
    out.depth = canvas_depth_of(bits_of(gif->SavedImages[0]));
    const uint8_t canvas_mask = static_cast<uint8_t>((1u << out.depth) - 1);
    const size_t w = out.width, h = out.height;

    auto fill = [&](std::vector<uint8_t>& canvas, int64_t l, int64_t t, int64_t r, int64_t b, uint8_t index) {
        for (int64_t y = std::max<int64_t>(t, 0); y < std::min<int64_t>(b, h); ++y)
            for (int64_t x = std::max<int64_t>(l, 0); x < std::min<int64_t>(r, w); ++x)
                canvas[y * w + x] = index & canvas_mask;
    };

    GraphicsControlBlock first;
    graphic_control(gif->SavedImages[0], &first);
    const bool first_transparent = first.TransparentColor != NO_TRANSPARENT_COLOR;
    const uint8_t first_index = first_transparent ? static_cast<uint8_t>(first.TransparentColor) : 0;
    out.first_transparent = first_transparent ? first_index : -1;
    if (const ColorMapObject* map = gif->SavedImages[0].ImageDesc.ColorMap ? gif->SavedImages[0].ImageDesc.ColorMap
                                                                           : gif->SColorMap) {
        for (int c = 0; c < map->ColorCount; ++c)
            out.first_table.insert(out.first_table.end(), {map->Colors[c].Red, map->Colors[c].Green, map->Colors[c].Blue});
    }
    const GifImageDesc& d0 = gif->SavedImages[0].ImageDesc;
    const bool differs = d0.Width != gif->SWidth || d0.Height != gif->SHeight;

    std::vector<uint8_t> canvas(w * h, 0), saved;
    fill(canvas, 0, 0, w, h, differs ? static_cast<uint8_t>(gif->SBackGroundColor) : first_index);
    int previous_disposal = 0;
    bool previous_transparent = false;
    uint8_t previous_index = 0;
    int64_t pl = 0, pt = 0, pr = 0, pb = 0;
    bool have_saved = false;
    for (int i = 0; i < gif->ImageCount; ++i) {
        if (i > 0) {
            if (previous_disposal == 3 && have_saved) {
                canvas = saved;
                have_saved = false;
            } else if (previous_disposal == 2) {
                const uint8_t index = previous_transparent ? previous_index
                                      : first_transparent  ? first_index
                                                           : static_cast<uint8_t>(gif->SBackGroundColor);
                fill(canvas, pl, pt, pr, pb, index);
            }
        }
        const SavedImage& image = gif->SavedImages[i];
        GraphicsControlBlock gcb;
        const bool control = graphic_control(image, &gcb);
        const GifImageDesc& desc = image.ImageDesc;
        const int disposal = control ? gcb.DisposalMode : 0;
        const bool transparent = gcb.TransparentColor != NO_TRANSPARENT_COLOR;
        if (disposal == 3) {
            saved = canvas;
            have_saved = true;
        }
        const uint8_t frame_mask = static_cast<uint8_t>((1u << frame_depth_of(bits_of(image))) - 1);
        std::vector<uint8_t>& drawn = out.drawn.emplace_back(w * h, 0);
        for (int64_t y = 0; y < desc.Height; ++y) {
            for (int64_t x = 0; x < desc.Width; ++x) {
                const int64_t cx = desc.Left + x, cy = desc.Top + y;
                if (cx >= int64_t(w) || cy >= int64_t(h)) continue;
                const uint8_t value = image.RasterBits[y * desc.Width + x] & frame_mask;
                if (transparent && value == static_cast<uint8_t>(gcb.TransparentColor)) continue;
                canvas[cy * w + cx] = value & canvas_mask;
                drawn[cy * w + cx] = 1;
            }
        }
        out.frames.push_back(canvas);
        out.delays.push_back(control ? static_cast<uint32_t>(gcb.DelayTime) : 0);
        previous_disposal = disposal;
        if (transparent) previous_index = static_cast<uint8_t>(gcb.TransparentColor);
        previous_transparent = transparent;
        pl = desc.Left;
        pt = desc.Top;
        pr = desc.Left + desc.Width;
        pb = desc.Top + desc.Height;
    }
}

// True-colour frames by the rules browsers follow, from giflib's images: a
// transparent canvas of the logical screen; each frame drawn through its own
// table (local, else global), clipped, its transparent pixels leaving the
// canvas; disposal 2 clears the frame's rectangle to transparent, 3 and 4
// put the canvas back as it was before the frame, the rest keep it.
struct ReferenceRgba {
    bool ok = false;  // giflib read the whole file, and its screen has at most 2^24 pixels
    uint32_t width = 0, height = 0;
    std::vector<std::vector<uint8_t>> frames;  // R, G, B, A per pixel
    // 1 where the pixel shows an index past its frame's table (or a frame
    // without any table): browsers differ there, so comparisons leave it out.
    std::vector<std::vector<uint8_t>> unknown;
};

inline void compose_rgba(GifFileType* gif, ReferenceRgba& out) {
    out.width = gif->SWidth;
    out.height = gif->SHeight;
    const int64_t w = out.width, h = out.height;
    std::vector<uint8_t> canvas(size_t(w * h) * 4, 0), unknown(size_t(w * h), 0), saved, saved_unknown;
    int64_t pl = 0, pt = 0, pr = 0, pb = 0;
    int previous_disposal = 0;
    for (int i = 0; i < gif->ImageCount; ++i) {
        if (previous_disposal == 2) {
            for (int64_t y = std::max<int64_t>(pt, 0); y < std::min(pb, h); ++y)
                for (int64_t x = std::max<int64_t>(pl, 0); x < std::min(pr, w); ++x) {
                    std::fill_n(&canvas[size_t(y * w + x) * 4], 4, 0);
                    unknown[y * w + x] = 0;
                }
        } else if (previous_disposal == 3 || previous_disposal == 4) {
            canvas = saved;
            unknown = saved_unknown;
        }
        const SavedImage& image = gif->SavedImages[i];
        const GifImageDesc& d = image.ImageDesc;
        GraphicsControlBlock gcb;
        const bool control = graphic_control(image, &gcb);
        const int disposal = control ? gcb.DisposalMode : 0;
        if (disposal == 3 || disposal == 4) {
            saved = canvas;
            saved_unknown = unknown;
        }
        const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
        for (int64_t y = 0; y < d.Height; ++y) {
            for (int64_t x = 0; x < d.Width; ++x) {
                const int64_t cx = d.Left + x, cy = d.Top + y;
                if (cx >= w || cy >= h) continue;
                const int index = image.RasterBits[y * d.Width + x];
                if (index == gcb.TransparentColor) continue;
                uint8_t* to = &canvas[size_t(cy * w + cx) * 4];
                if (map != nullptr && index < map->ColorCount) {
                    const GifColorType& c = map->Colors[index];
                    to[0] = c.Red, to[1] = c.Green, to[2] = c.Blue, to[3] = 255;
                    unknown[cy * w + cx] = 0;
                } else {
                    unknown[cy * w + cx] = 1;
                }
            }
        }
        out.frames.push_back(canvas);
        out.unknown.push_back(unknown);
        previous_disposal = disposal;
        pl = d.Left, pt = d.Top, pr = int64_t{d.Left} + d.Width, pb = int64_t{d.Top} + d.Height;
    }
}

inline ReferenceRgba reference_rgba(const std::vector<uint8_t>& bytes) {
    ReferenceRgba out;
    giflib_slurp(bytes, [&](GifFileType* gif, bool ok) {
        out.ok = ok && gif->ImageCount > 0 &&
                 uint64_t{static_cast<uint32_t>(gif->SWidth)} * static_cast<uint32_t>(gif->SHeight) <= (uint64_t{1} << 24);
        if (out.ok) compose_rgba(gif, out);
    });
    return out;
}

// "" when the frame equals the reference (pixels it marks unknown aside), else
// the first pixel that differs.
inline std::string rgba_difference(const uint8_t* pixels, const ReferenceRgba& reference, size_t i) {
    const std::vector<uint8_t>& want = reference.frames[i];
    for (size_t p = 0; p < want.size() / 4; ++p) {
        if (reference.unknown[i][p] != 0 || std::equal(&want[p * 4], &want[p * 4 + 4], &pixels[p * 4])) continue;
        return "pixel " + std::to_string(p) + " of frame " + std::to_string(i);
    }
    return "";
}

inline ReferenceFrames reference_frames(const std::vector<uint8_t>& bytes) {
    ReferenceFrames out;
    giflib_slurp(bytes, [&](GifFileType* gif, bool ok) {
        out.ok = ok && gif->ImageCount > 0 && bytes.size() > 10 &&
                 uint64_t{static_cast<uint32_t>(gif->SWidth)} * static_cast<uint32_t>(gif->SHeight) <= (uint64_t{1} << 24);
        if (out.ok) compose_frames(gif, (bytes[10] & 7) + 1, out);
    });
    return out;
}

}  // namespace giftest
