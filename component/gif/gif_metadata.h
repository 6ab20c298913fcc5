// The metadata tree and tags that GIF reading reports, and the parsing of
// extension blocks into extension records.
#pragma once

#include "gif/gif_records.h"
#include "kvlzw/abi.h"

#include <cstdint>

namespace kv {

// Metadata item identifiers of the groups.
namespace gif_id {
inline constexpr uint32_t kRoot = 14;
inline constexpr uint32_t kHeader = 16;
inline constexpr uint32_t kScreen = 32;
inline constexpr uint32_t kGlobalTable = 48;
inline constexpr uint32_t kImage = 44;
inline constexpr uint32_t kLocalTable = 64;
inline constexpr uint32_t kAfterImage = 4095;
}  // namespace gif_id

void gif_meta_begin(HostStream* stream, const char* name, uint32_t id);
void gif_meta_end(HostStream* stream, const char* name, uint32_t id);

// "GIFHeader", "LogicalScreenDescriptor" and "GlobalColorTable".
void gif_report_header(HostStream* stream, uint32_t tag, const GifStreamRecord& rec);
// "ImageDescriptor" and "LocalColorTable".
void gif_report_image(HostStream* stream, uint32_t tag, const GifStreamRecord& rec);

// Tags 1500 to 1512, when the stream keeps tags.
void gif_set_image_tags(HostStream* stream, const GifStreamRecord& rec, const GifExtensionList& before);
// Tags 1513 and 1514, when the stream keeps tags.
void gif_set_after_image_tags(HostStream* stream, const GifExtensionList& after);

// Parses the extension whose introducer and label have been read, reports
// it as metadata and appends its record to the list. Returns the status.
HostStatus gif_parse_extension(HostStream* stream, uint32_t tag, uint8_t label, GifExtensionList* list);

// Reads the data sub-blocks of an extension. The data is joined and followed
// by a zero byte; no data gives length 0 and a null buffer. When sizes is
// given and the sub-blocks are not the usual cut (255 bytes each but the
// last), *sizes receives their sizes, one byte each, under the tag, and
// *count their number; otherwise *sizes stays null. Returns the status.
HostStatus gif_read_extension_data(HostStream* stream, uint32_t tag, uint32_t* length, uint8_t** data,
                                   uint8_t** sizes = nullptr, uint32_t* count = nullptr);

// The metadata value that carries an extension's sub-block sizes when they
// are not the usual cut: after the data inside an application or plain text
// group, and after a comment's value beside it.
inline constexpr const char* kSubBlockSizesName = "SubBlockSizes";
inline constexpr uint32_t kSubBlockSizesId = 4084;

// The most data bytes one extension keeps; longer data is read to its end
// and cut to this length.
inline constexpr uint32_t kMaxExtensionData = 65535;

}  // namespace kv
