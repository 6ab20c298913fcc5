// Helpers for the strip service tests: strips of LZW data in a file, image
// descriptions, and one call of "TIF_Proc_LZW_Comp" on a memory stream.
#pragma once

#include "kvhost/errors.h"
#include "kvhost/image.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"
#include "test_support.h"
#include "tiff_lzw_test_util.h"

#include <memory>
#include <vector>

namespace tstrip {

inline std::unique_ptr<HostDibInfo> make_dib(uint32_t width, uint32_t height, uint32_t channels, uint32_t bpc,
                                             uint32_t colorspace, std::vector<int64_t> depths = {}) {
    auto dib = std::make_unique<HostDibInfo>();
    dib->width = width;
    dib->height = height;
    dib->channels = channels;
    dib->bits_per_channel = bpc;
    dib->depth = bpc == 1 ? 1 : channels * bpc;
    dib->colorspace = colorspace;
    dib->channel_depths = depths.empty() ? std::vector<int64_t>(channels, bpc) : depths;
    return dib;
}

struct Call {
    int32_t planar = 1;
    int32_t photometric = 1;
    int32_t predictor = 1;
    std::vector<int16_t> bps{8};
    uint32_t extra = 0;
    int32_t rps = 1;
    int32_t strip_count = 1;
    int32_t strips_per_plane = 1;
    std::vector<uint32_t> offsets{};
    bool null_offsets = false;
    int32_t offset_count = -1;  // -1: the size of offsets
    int32_t byte_order = 0;
    HostTiff tif{};
    int64_t fail_raster_row = -1;
};

struct Result {
    HostStatus status = 0;
    std::unique_ptr<kvhost::LoadedImage> image;
    std::vector<kvhost::ErrorRecord> errors;
    uint64_t allocations = 0;
    size_t blocks_left = 0;
};

// Appends each strip's LZW to `file` and records its offset.
inline std::vector<uint8_t> build_file(const std::vector<std::vector<uint8_t>>& strips, std::vector<uint32_t>* offsets) {
    std::vector<uint8_t> file(8, 0);  // bytes before the first strip, as a header would be
    for (const auto& strip : strips) {
        offsets->push_back(static_cast<uint32_t>(file.size()));
        const auto data = tlzw::reference_compress(strip);
        file.insert(file.end(), data.begin(), data.end());
    }
    return file;
}

inline Result run(const std::vector<uint8_t>& file, HostDibInfo* dib, Call c, int64_t start_position = 0) {
    kvtest::component();
    const auto service = reinterpret_cast<TifProcLzwCompFn>(kvhost::named_service("TIF_Proc_LZW_Comp"));
    Result r;
    kvhost::clear_errors();
    auto stream = kvhost::memory_stream(file);
    stream->byte_order = c.byte_order;
    stream->position = start_position;
    stream->faults.fail_raster_row = c.fail_raster_row;
    const HostServiceTable& host = kvhost::service_table();
    EXPECT_EQ(host.IO_DIB_create_ex(stream.get(), dib), 0);
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    const uint64_t allocations_before = kvhost::memory::allocation_count();
    const int32_t count = c.offset_count >= 0 ? c.offset_count : static_cast<int32_t>(c.offsets.size());
    r.status = service(stream.get(), &c.tif, kvhost::memory::new_tag(), dib, 0, c.planar, c.photometric,
                         /*fill order*/ 1, c.predictor, c.bps.data(), static_cast<int32_t>(c.bps.size()), c.extra, c.rps,
                         c.strip_count, c.strips_per_plane, c.null_offsets ? nullptr : c.offsets.data(), nullptr,
                         count);
    r.allocations = kvhost::memory::allocation_count() - allocations_before;
    r.blocks_left = kvhost::memory::blocks_outstanding() - blocks_before;
    r.errors = kvhost::error_records();
    r.image = std::move(stream->sink.image);
    kvhost::clear_errors();
    return r;
}

inline std::vector<uint8_t> row_of(const Result& r, uint32_t y) {
    return std::vector<uint8_t>(r.image->row(y), r.image->row(y) + r.image->row_size);
}

}  // namespace tstrip
