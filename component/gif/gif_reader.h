// GIF reading entries beyond the three that the filter hands to the host:
// the multi-page source and the GIF writer call these.
#pragma once

#include "gif/gif_records.h"
#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// Reads header, logical screen descriptor and global table into the record
// from the current position. Records no error; false when a read comes short.
bool gif_read_header_blocks(HostStream* stream, GifStreamRecord* rec);

// Seeks to the start of the stream and reads the header blocks; -2100 when
// they are short.
HostStatus gif_header_read(HostStream* stream, GifStreamRecord* rec);

// Loads the first image found from the current position, with the screen
// descriptor and global table that the record already holds. Reports only
// the extensions before the image as metadata; leaves the stream after the
// image's block terminator.
HostStatus gif_next_image_load(HostStream* stream, void* settings, GifStreamRecord* rec);

// Where a count walk stopped: just after a trailer byte, at the end of the
// data between two blocks, or inside a block that breaks off or cannot be
// walked (a block never ended by the data).
enum class WalkEnd { kTrailer, kDataEnd, kInsideBlock };

// Counts the images from the current position to the trailer (or to the end
// of the data). The tag is not used. *end, when given, says where the walk
// stopped; *stray, when given, where the first byte passed over that starts
// no block was (-1 for none).
HostStatus gif_image_count_walk(HostStream* stream, uint32_t tag, uint32_t* count, WalkEnd* end = nullptr,
                                int64_t* stray = nullptr);

}  // namespace kv
