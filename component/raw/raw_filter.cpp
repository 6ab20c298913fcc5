// The raw LZW filter's control entry (format 109): headerless LZW rasters
// whose geometry the application gives as attributes.
#include "frame/filter_control.h"
#include "frame/filters.h"
#include "frame/service_table.h"
#include "raw/raw_load.h"

#include <cstddef>
#include <cstring>

namespace kv {

namespace {

constexpr uint64_t kZero64 = 0;
constexpr uint32_t kZero32 = 0;

const AttributeDescription kRawAttributes[] = {
    {"WIDTH", KV_ATTR_TYPE_U64, 8, offsetof(RawSettings, width), &kZero64},
    {"HEIGHT", KV_ATTR_TYPE_U64, 8, offsetof(RawSettings, height), &kZero64},
    {"BITS_PER_PIXEL", KV_ATTR_TYPE_U32_B, 4, offsetof(RawSettings, bits_per_pixel), &kZero32},
    {"FILL_ORDER", KV_ATTR_TYPE_U32_A, 4, offsetof(RawSettings, fill_order), &kZero32},
    {"ALIGNMENT", KV_ATTR_TYPE_U32_B, 4, offsetof(RawSettings, alignment), &kZero32},
};

void fill_raw_defaults(void* settings) {
    std::memset(settings, 0, sizeof(RawSettings));
    auto* record = static_cast<RawSettings*>(settings);
    record->width = kZero64;
    record->height = kZero64;
    record->bits_per_pixel = kZero32;
    record->fill_order = kZero32;
    record->alignment = kZero32;
}

// The raw filter cannot save: an empty list, a count of 0.
void answer_raw_save_codes(int32_t op, void* input, void* out, uint32_t) {
    if (input == nullptr || out == nullptr) return;
    if (op == KV_OP_SAVE_CODE_LIST_COUNT || op == KV_OP_SAVE_CODE_LIST_COUNT_2) {
        const uint32_t count = 0;
        std::memcpy(out, &count, sizeof count);
    }
}

const FilterDescription kRawFilter = {
    module::kRaw,
    "LZW",
    "*.raw",
    2,
    KV_FORMAT_RAW_LZW,
    0,
    sizeof(RawSettings),
    nullptr,  // the unknown-attribute error names the requested attribute
    kRawAttributes,
    sizeof(kRawAttributes) / sizeof(kRawAttributes[0]),
    {nullptr, nullptr, reinterpret_cast<void*>(&raw_lzw_load), nullptr, nullptr},
    &fill_raw_defaults,
    &answer_raw_save_codes,
};

}  // namespace

HostStatus raw_filter_control(void*, int32_t op, void* input, void*, void* out, uint32_t out_size) {
    return answer_filter_operation(kRawFilter, op, input, out, out_size);
}

}  // namespace kv
