// The format-specific halves of the decode and info commands, one file each.
#pragma once

#include "tool.h"

namespace kvtool {

int decode_gif(const ParsedArgs& args);   // decode_gif.cpp
int decode_tiff(const ParsedArgs& args);  // decode_tiff.cpp
int decode_raw(const ParsedArgs& args);   // decode_raw.cpp

int info_gif(const ParsedArgs& args);   // decode_gif.cpp
int info_tiff(const ParsedArgs& args);  // decode_tiff.cpp

enum class FileKind { kGif, kTiff, kUnknown, kUnreadable };
// What the first bytes of the file are.
FileKind sniff_file(const std::string& path);

}  // namespace kvtool
