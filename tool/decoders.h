// The format-specific halves of the decode and info commands, one file each.
#pragma once

#include "kvhost/gif.h"
#include "tool.h"

namespace kvtool {

int decode_gif(const ParsedArgs& args, const Input& input);   // decode_gif.cpp
int decode_tiff(const ParsedArgs& args, const Input& input);  // decode_tiff.cpp
int decode_raw(const ParsedArgs& args, const Input& input);   // decode_raw.cpp

int info_gif(const ParsedArgs& args, const Input& input);   // decode_gif.cpp
// Every row of the GIF page reached the host (rows past truncated data
// arrive as zeros): its errors came after the pixels, such as a missing
// trailer.
bool gif_page_complete(const kvhost::gif::PageResult& r);  // decode_gif.cpp
int info_tiff(const ParsedArgs& args, const Input& input);  // decode_tiff.cpp

enum class FileKind { kGif, kTiff, kUnknown };
// What the first bytes are.
FileKind sniff(const std::vector<uint8_t>& head);

}  // namespace kvtool
