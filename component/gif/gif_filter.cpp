// The GIF filter's control entry (format 14) and its signature test.
#include "frame/filter_control.h"
#include "frame/filters.h"
#include "frame/service_table.h"
#include "gif/gif_entries.h"

#include <cstddef>
#include <cstring>

namespace kv {

namespace {

constexpr uint32_t kDefaultVersion = 89;
constexpr uint32_t kDefaultInterlace = 0;

const AttributeDescription kGifAttributes[] = {
    {"VERSION", KV_ATTR_TYPE_U32_A, 4, offsetof(GifSettings, version), &kDefaultVersion},
    {"INTERLACE", KV_ATTR_TYPE_FLAG, 4, offsetof(GifSettings, interlace), &kDefaultInterlace},
};

void fill_gif_defaults(void* settings) {
    auto* record = static_cast<GifSettings*>(settings);
    record->version = kDefaultVersion;
    record->interlace = kDefaultInterlace;
    record->reserved = 0;
}

// Ops 6/38 (the list) and 7/39 (its count) for the image in the input record:
// only palette images of 1, 4 or 8 bits can be saved as GIF.
void answer_gif_save_codes(int32_t op, void* input, void* out, uint32_t size) {
    HostDibInfo* dib = nullptr;
    g_host._Gpr_fltrm_HDibI_from_params_get(input, op, &dib, 0);
    if (dib != nullptr) {
        const uint32_t depth = g_host.DIB_bit_depth_get(dib);
        const uint32_t count = (depth == 1 || depth == 4 || depth == 8) ? 1 : 0;
        if (op == KV_OP_SAVE_CODE_LIST || op == KV_OP_SAVE_CODE_LIST_2) {
            copy_code_list(out, size, count);
        } else if (out != nullptr) {
            std::memcpy(out, &count, sizeof count);
        }
    }
    g_host._Gpr_fltrm_HDibI_from_params_free(input, dib, 0);
}

const FilterDescription kGifFilter = {
    module::kGifWrite,
    "GIF",
    "*.gif",
    31,
    KV_FORMAT_GIF,
    1,
    sizeof(GifSettings),
    "GIF",
    kGifAttributes,
    sizeof(kGifAttributes) / sizeof(kGifAttributes[0]),
    {reinterpret_cast<void*>(&gif_signature_test), reinterpret_cast<void*>(&GIF_page_info),
     reinterpret_cast<void*>(&GIF_image_load), reinterpret_cast<void*>(&GIF_image_save),
     reinterpret_cast<void*>(&GIF_page_count)},
    &fill_gif_defaults,
    &answer_gif_save_codes,
};

}  // namespace

int32_t gif_signature_test(void*, const uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr || length < 6) return 0;
    if (buffer[0] != 'G' || buffer[1] != 'I' || buffer[2] != 'F' || buffer[3] != '8') return 0;
    if (buffer[4] != '7' && buffer[4] != '9') return 0;
    return buffer[5] == 'a' ? 1 : 0;
}

HostStatus gif_filter_control(void*, int32_t op, void* input, void*, void* out, uint32_t out_size) {
    return answer_filter_operation(kGifFilter, op, input, out, out_size);
}

}  // namespace kv
