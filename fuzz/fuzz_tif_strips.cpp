// Fuzzes the TIFF strip service: the first 40 bytes choose the tag values
// and the image description, the rest is the stream the strips are read
// from. The service must never crash, overrun, hang or leak.
#include "support.h"

#include "kvhost/image.h"
#include "kvhost/memory.h"
#include "kvhost/registry.h"
#include "kvhost/services.h"
#include "kvhost/stream.h"
#include "kvhost/tiff.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 40;
    if (size < kHeader) return 0;
    kvfuzz::component();
    static auto service = reinterpret_cast<TifProcLzwCompFn>(kvhost::named_service("TIF_Proc_LZW_Comp"));
    if (service == nullptr) return 0;

    const uint8_t* p = data;
    auto byte = [&p] { return *p++; };
    auto word = [&byte] {
        const uint16_t low = byte();
        return static_cast<uint16_t>(low | byte() << 8);
    };
    const uint32_t width = byte() % 80;   // 0 allowed: must be refused
    const uint32_t height = byte() % 80;
    const int32_t spp = 1 + byte() % 10;  // more than 8 planes allowed
    const uint8_t depth_choice = byte();
    static const int16_t kDepths[] = {1, 2, 4, 8, 12, 16, 32, 0, 5, 6};
    std::vector<int16_t> bps(spp);
    for (int32_t k = 0; k < spp; ++k) bps[k] = kDepths[(depth_choice + (depth_choice >> 4 & 1) * k) % 10];
    const int32_t planar = byte() % 4;
    static const int32_t kPhotometric[] = {0, 1, 2, 3, 5, 6, 8, 9};
    const int32_t photometric = kPhotometric[byte() % 8];
    const uint16_t fill_order = 1 + byte() % 2;
    const int32_t predictor = 1 + byte() % 3;
    const uint32_t extra = byte() % 2;
    const int32_t rows_per_strip = static_cast<int8_t>(byte());
    const int32_t strip_count = byte() % 24;
    const int32_t strips_per_plane = static_cast<int8_t>(byte());
    const int32_t offset_count = static_cast<int8_t>(byte());
    const bool null_offsets = byte() % 8 == 0;
    const int32_t byte_order = byte() % 3;
    // The host image: channels, bits per channel, and a colour space.
    const uint32_t host_channels = 1 + byte() % 8;
    const uint32_t host_bpc = byte() % 2 == 0 ? 8 : 16;
    HostTiff tif;
    tif.has_subsampling = byte() % 4 != 0;
    tif.subsampling[0] = byte() % 6;
    tif.subsampling[1] = byte() % 6;
    tif.has_coefficients = byte() % 2 == 0;
    for (uint32_t& c : tif.coefficients) c = byte() % 4 == 0 ? 0 : word() % 2000;
    // Strip offsets into the stream part of the input.
    std::vector<uint32_t> offsets(64);
    const uint8_t offset_seed = byte();
    const size_t stream_size = size - kHeader;
    for (size_t i = 0; i < offsets.size(); ++i) {
        offsets[i] = stream_size == 0 ? 0 : static_cast<uint32_t>((offset_seed * 131 + i * 977) % (stream_size + 8));
    }

    auto dib = std::make_unique<HostDibInfo>();
    dib->width = width;
    dib->height = height;
    dib->channels = host_channels;
    dib->bits_per_channel = host_bpc;
    dib->depth = host_channels * host_bpc;
    dib->colorspace = kvhost::colorspace::kGrey;
    // The host lists one depth per sample, as its TIFF reader does.
    dib->channel_depths.assign(bps.begin(), bps.end());

    auto stream = kvhost::memory_view_stream(data + kHeader, stream_size);
    stream->byte_order = byte_order;
    const HostServiceTable& host = kvhost::service_table();
    const size_t blocks_before = kvhost::memory::blocks_outstanding();
    if (host.IO_DIB_create_ex(stream.get(), dib.get()) == 0) {
        service(stream.get(), &tif, kvhost::memory::new_tag(), dib.get(), 0, planar, photometric, fill_order,
                predictor, bps.data(), spp, extra, rows_per_strip, strip_count, strips_per_plane,
                null_offsets ? nullptr : offsets.data(), nullptr,
                offset_count < 64 ? offset_count : 64);
    }
    kvfuzz::expect_clean(blocks_before);
    return 0;
}
