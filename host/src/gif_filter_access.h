// The started component's GIF filter as the application calls see it.
#pragma once

#include "kvhost/gif.h"
#include "kvhost/load_sink.h"
#include "kvlzw/abi.h"

#include <functional>

namespace kvhost::gif {

// The GIF filter's entry for the operation, or null (with an error record).
void* gif_entry(int32_t op, HostStatus* status);
// The GIF filter's default settings record.
GifSettings default_settings();

// Sees each row of a load as it arrives, with the sink as it stands (the
// image's geometry and palette, the attributes and tags set before the rows).
using RowVisitor = std::function<HostStatus(const LoadSink& sink, int64_t row, const uint8_t* bytes, uint64_t count)>;
// Loads page N of the stream, handing every row to `row` instead of keeping
// the image; the tags and attributes stay in the stream's sink, the errors
// in this thread's records. The status of the load.
HostStatus load_rows(HostStream& stream, uint32_t page, const RowVisitor& row);
// The page count entry on the source, its errors left in this thread's records.
HostStatus count_pages(const Source& source, uint32_t* count);

}  // namespace kvhost::gif
