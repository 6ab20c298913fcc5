/*
 * kvlzw ABI: the one contract between the LZW component (libkvLZW19d.so)
 * and the host library that loads it.
 *
 * Both sides compile against this header and nothing else of each other.
 * The component imports nothing from the host at link time: it receives a
 * lookup function in CPb_LZW_init and resolves every host service by name
 * ("CORE." + service name) into a HostServiceTable, in the order of
 * KV_HOST_SERVICES below.
 *
 * Host row layout (what IO_raster_set receives and what the raster size
 * services report):
 *   - depth 1:        pixels packed 8 per byte, most significant bit first;
 *                     a row is (width + 7) / 8 bytes.
 *   - depth 2 to 8:   one byte per pixel (a palette index or a grey level);
 *                     a row is width bytes, whatever the depth.
 *   - 9 to 16 bits per channel: one 16-bit word per sample in the host's
 *                     byte order (little-endian on x86-64), channels
 *                     interleaved; a row is width * channels * 2 bytes.
 *   - 8 bits per channel with several channels: one byte per sample,
 *                     interleaved (R, G, B[, A]).
 *   Rows are never padded.
 */
#ifndef KVLZW_ABI_H
#define KVLZW_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------
 * Basic types
 * ------------------------------------------------------------------- */

/* 0 = success; non-zero once an error has been recorded with the host. */
typedef int32_t HostStatus;

/* Opaque host handles. The component passes them back unchanged. */
typedef struct HostStream HostStream;
typedef struct HostDibInfo HostDibInfo;
typedef struct HostImage HostImage;
typedef struct HostTiff HostTiff;
typedef struct HostPixStruct HostPixStruct;

/* Area of an image, inclusive corners (left, top) .. (right, bottom). */
typedef struct HostArea {
    int64_t left, top, right, bottom;
} HostArea;

/* Format numbers of the component's filters. */
enum { KV_FORMAT_GIF = 14, KV_FORMAT_RAW_LZW = 109 };

/* Metadata item kinds. */
enum { KV_METAD_GROUP_BEGIN = 1, KV_METAD_VALUE = 2, KV_METAD_GROUP_END = 3 };

/* Metadata value type codes. */
enum {
    KV_METAD_TYPE_U8 = 22,    /* unsigned 8-bit values, count of them */
    KV_METAD_TYPE_U16 = 24,   /* unsigned 16-bit values, count of them */
    KV_METAD_TYPE_FLAG = 27,  /* a flag held in an unsigned 32-bit value */
    KV_METAD_TYPE_CHARS = 28, /* characters (a zero byte follows them) */
    KV_METAD_TYPE_BYTES = 33  /* bytes of a table or data block */
};

/* Attribute type codes used by the filters' attribute tables. */
enum { KV_ATTR_TYPE_U32_A = 5, KV_ATTR_TYPE_U32_B = 6, KV_ATTR_TYPE_FLAG = 10, KV_ATTR_TYPE_U64 = 12 };

/* Stream attributes set by an image load. Attributes 1, 4 and 19 carry an
 * address in IO_attribute_set's value; the others carry the value itself. */
enum {
    KV_ATTR_TRANSPARENT_COLOR = 1, /* address of 3 bytes: blue, green, red */
    KV_ATTR_DELAY = 2,             /* delay time, hundredths of a second */
    KV_ATTR_CONVERSION = 4,        /* address of the 5 x u32 conversion record */
    KV_ATTR_POSITION = 19,         /* address of 2 x u64: left, top */
    KV_ATTR_DISPOSAL = 20,         /* disposal method 0..7 */
    KV_ATTR_TRANSPARENT_INDEX = 21,
    KV_ATTR_BACKGROUND_INDEX = 22
};

/* ---------------------------------------------------------------------
 * Records read by both sides
 * ------------------------------------------------------------------- */

/* Every HostStream begins with this descriptor, which the multi-page
 * source reads and sets (the rest of the stream is the host's own). */
typedef struct HostStreamDescriptor {
    const char* file_name;           /* the stream is opened by IO_open when non-null and non-empty */
    void* load_record;               /* the load the stream's decoded images belong to */
    void* load_record_alt;           /* the same record, as the image delivery looks it up */
    HostImage** image_destination;   /* non-null: IO_DIB_create_ex places each image here */
} HostStreamDescriptor;

/* The record of a load into a host image; GPr_load_CB_data_done ends it. */
typedef struct HostLoadRecord {
    uint32_t tag;          /* the loader's memory tag */
    uint32_t loads_done;   /* counted by GPr_load_CB_data_done */
} HostLoadRecord;

/* Buffer format 2 of the iKV_DIB_ area and raster services: one byte per
 * pixel, every row padded to a multiple of 4 bytes. */
enum { KV_BUFFER_BYTES_PADDED = 2 };

/* Multi-page property ids. */
enum {
    KV_MULT_PROP_0 = 0,             /* reads as the 32-bit value 1 */
    KV_MULT_PROP_1 = 1,             /* reads as the 32-bit value 0 */
    KV_MULT_PROP_DEFAULT_DELAY = 4000, /* u64 milliseconds */
    KV_MULT_PROP_MIN_DELAY = 4001      /* u64 milliseconds */
};

/* GIF filter settings record (12 bytes). */
typedef struct GifSettings {
    uint32_t version;   /* 87 or 89 */
    uint32_t interlace; /* non-zero: interlaced */
    uint32_t reserved;  /* set to 0 by op 33, reached by no attribute */
} GifSettings;

/* Raw LZW filter settings record (32 bytes). */
typedef struct RawSettings {
    uint64_t width;
    uint64_t height;
    uint32_t bits_per_pixel;
    uint32_t fill_order;
    uint32_t alignment;
    uint32_t unused;
} RawSettings;

/* GIF extension records, one per extension block read. Every record begins
 * with the extension's label, which tells the kinds apart. The reader hands
 * them to the host as tags 1512 and 1514 (IO_tag_set with length 0); the
 * host keeps deep copies, data included, because the component frees the
 * records when the load ends. Extension data is the joined sub-block bytes
 * followed by one zero byte; data_length counts the data bytes only (at most
 * 65535) and a null data address means no data. */
enum { KV_GIF_EXT_PLAIN_TEXT = 0x01, KV_GIF_EXT_GRAPHIC_CONTROL = 0xF9, KV_GIF_EXT_COMMENT = 0xFE,
       KV_GIF_EXT_APPLICATION = 0xFF };

typedef struct GifGraphicControlRecord {
    uint32_t label; /* 0xF9 */
    uint32_t fields;
    uint32_t delay_time;
    uint8_t transparent_index;
} GifGraphicControlRecord;

typedef struct GifPlainTextRecord {
    uint32_t label; /* 0x01 */
    uint32_t grid_left, grid_top, grid_width, grid_height;
    uint32_t cell_width, cell_height;
    uint32_t foreground_index, background_index;
    uint32_t data_length;
    uint8_t* data;
} GifPlainTextRecord;

typedef struct GifCommentRecord {
    uint32_t label; /* 0xFE */
    uint32_t data_length;
    uint8_t* data;
} GifCommentRecord;

typedef struct GifApplicationRecord {
    uint32_t label; /* 0xFF */
    uint8_t identifier[8];
    uint8_t auth_code[256];
    uint8_t auth_code_length;
    uint32_t data_length;
    uint8_t* data;
} GifApplicationRecord;

/* GIF tags set by a load (IO_tag_set, IO_tag_word_set, IO_tag_byte_set). */
enum {
    KV_GIF_TAG_VERSION = 1500,          /* 3 characters */
    KV_GIF_TAG_ASPECT_RATIO = 1501,     /* byte */
    KV_GIF_TAG_BACKGROUND = 1502,       /* byte */
    KV_GIF_TAG_SCREEN_FIELDS = 1503,    /* byte */
    KV_GIF_TAG_SCREEN_HEIGHT = 1504,    /* word */
    KV_GIF_TAG_SCREEN_WIDTH = 1505,     /* word */
    KV_GIF_TAG_GLOBAL_TABLE = 1506,     /* 768 bytes (length 0 given) */
    KV_GIF_TAG_IMAGE_LEFT = 1507,       /* word */
    KV_GIF_TAG_IMAGE_TOP = 1508,        /* word */
    KV_GIF_TAG_IMAGE_FIELDS = 1509,     /* byte */
    KV_GIF_TAG_LOCAL_TABLE = 1510,      /* 768 bytes (length 0 given) */
    KV_GIF_TAG_EXTENSION_COUNT = 1511,  /* word: extension records before the image */
    KV_GIF_TAG_EXTENSION = 1512,        /* one extension record per call */
    KV_GIF_TAG_AFTER_COUNT = 1513,      /* word: extension records after the image */
    KV_GIF_TAG_AFTER_EXTENSION = 1514,  /* one extension record per call */
    KV_GIF_TAG_TRANSPARENT_INDEX = 1515 /* byte */
};
/* Bytes of a colour table field (tags 1506 and 1510). */
enum { KV_GIF_TABLE_BYTES = 768 };

/* Answer of op 36 (attribute get). */
typedef struct AttributeAnswer {
    uint64_t type_code;
    uint64_t value_size;
    const void* value;
} AttributeAnswer;

/* Input record of op 36 (attribute get). */
typedef struct AttributeGetRequest {
    void* settings;
    const char* name;
    uint64_t use_default;
} AttributeGetRequest;

/* Input record of op 37 (attribute set). */
typedef struct AttributeSetRequest {
    void* settings;
    const char* name;
    uint64_t value;
} AttributeSetRequest;

/* Filter control operation codes with a name of their own. */
enum {
    KV_OP_NAME = 1,
    KV_OP_NAME_ALT = 2,
    KV_OP_FILE_PATTERN = 3,
    KV_OP_CODE_LIST = 4,
    KV_OP_CODE_LIST_COUNT = 5,
    KV_OP_SAVE_CODE_LIST = 6,
    KV_OP_SAVE_CODE_LIST_COUNT = 7,
    KV_OP_FLAGS = 8,
    KV_OP_FORMAT_NUMBER = 9,
    KV_OP_SIGNATURE_TEST = 10,
    KV_OP_PAGE_INFO = 11,
    KV_OP_LOAD = 12,
    KV_OP_SAVE = 13,
    KV_OP_PAGE_COUNT = 14,
    KV_OP_COMMON_NUMBER = 30,
    KV_OP_NUMBER_31 = 31,
    KV_OP_SETTINGS_SIZE = 32,
    KV_OP_SETTINGS_DEFAULTS = 33,
    KV_OP_NOTHING = 34,
    KV_OP_ATTR_ENUMERATE = 35,
    KV_OP_ATTR_GET = 36,
    KV_OP_ATTR_SET = 37,
    KV_OP_SAVE_CODE_LIST_2 = 38,
    KV_OP_SAVE_CODE_LIST_COUNT_2 = 39
};

/* ---------------------------------------------------------------------
 * Filter entry points
 * ------------------------------------------------------------------- */

typedef HostStatus (*FilterControlFn)(void* ignored, int32_t op, void* input, void* ignored2, void* out,
                                      uint32_t out_size);
/* Answers 1 when buf starts with a signature of the format, else 0. */
typedef int32_t (*SignatureTestFn)(void* ignored, const uint8_t* buf, uint32_t len);
typedef HostStatus (*PageInfoFn)(HostStream* stream, HostDibInfo** dib_out, uint32_t* value_out, void* settings,
                                 uint32_t page);
typedef HostStatus (*ImageLoadFn)(HostStream* stream, void* settings, uint32_t page);
typedef HostStatus (*PageCountFn)(HostStream* stream, void* ignored, uint32_t* count_out);
typedef HostStatus (*ImageSaveFn)(HostStream* stream, void* settings, uint32_t page_mode, void* reserved,
                                  uint32_t conversion);
typedef HostStatus (*RawLoadFn)(HostStream* stream, void* settings);
/* Callback the GIF writer hands to IO_DIB_convert_get. */
typedef HostStatus (*SaveFormatSelectFn)(HostDibInfo* dib, void* ignored, void* ignored2, void** params_out);

/* ---------------------------------------------------------------------
 * Named services offered by CPb_LZW_attach
 * ------------------------------------------------------------------- */

typedef HostStatus (*TifProcLzwCompFn)(HostStream* stream, HostTiff* tif_handle, uint32_t tag, HostDibInfo* dib_info,
                                       uint32_t base_offset, int32_t planar_config, int32_t photometric,
                                       uint16_t fill_order, int32_t predictor, const int16_t* bits_per_sample,
                                       int32_t samples_per_pixel, uint32_t extra_samples, int32_t rows_per_strip,
                                       int32_t strip_count, int32_t strips_per_plane, const uint32_t* strip_offsets,
                                       const uint32_t* strip_byte_counts, int32_t offset_count);
typedef HostStatus (*TiffLzwWriteFn)(HostStream* stream, uint32_t tag, const uint8_t* input, uint32_t* count);
typedef HostStatus (*KvLzwCompressFn)(uint32_t tag, const uint8_t* input, int32_t input_length, uint8_t** output,
                                      uint32_t* output_length);

typedef struct AttachRecord {
    const char* name;
    void* function;
    void* reserved; /* always null */
} AttachRecord;

/* ---------------------------------------------------------------------
 * Host services, in lookup order. X(name, return type, (parameters))
 * ------------------------------------------------------------------- */

#define KV_HOST_SERVICES(X)                                                                                      \
    X(AF_memm_unique_tag_get, uint32_t, (const char* file, int32_t line))                                       \
    X(AF_memm_alloc, void*, (uint32_t tag, uint64_t size, const char* file, int32_t line))                      \
    X(AF_memm_realloc, void*, (uint32_t tag, void* block, uint64_t size, const char* file, int32_t line))       \
    X(AF_error_check, HostStatus, (void))                                                                       \
    X(AF_error_clear, HostStatus, (void))                                                                       \
    X(AF_err_record_set, HostStatus,                                                                            \
      (const char* file, int32_t line, int32_t code, int64_t detail0, int64_t detail1, int64_t detail2,         \
       const char* text))                                                                                       \
    X(IO_seek, int64_t, (HostStream * stream, int64_t offset, int32_t origin))                                  \
    X(IO_byte_order_set, HostStatus, (HostStream * stream, int32_t order))                                      \
    X(IO_tell, int64_t, (HostStream * stream))                                                                  \
    X(IO_read, uint64_t, (HostStream * stream, void* buffer, uint64_t count))                                   \
    X(IO_metad_item_get, HostStatus,                                                                            \
      (HostStream * stream, uint32_t format, const char* name, uint32_t id, int32_t kind, const void* value,    \
       int32_t type, uint32_t count, int32_t last))                                                             \
    X(IO_metad_item_add, int32_t,                                                                               \
      (HostStream * stream, uint32_t format, const char** name, uint32_t* id, int32_t* kind, void** value,      \
       int32_t* type, uint32_t* count, int32_t* flag))                                                          \
    X(IO_metad_item_set, HostStatus,                                                                            \
      (HostStream * stream, uint32_t format, const char* name, uint32_t id, int32_t kind, const void* value,    \
       int32_t type, uint32_t count, int32_t flag, void** out_value, int32_t* out_type, uint32_t* out_count))    \
    X(GPr_IO_metad_item_convert_get, HostStatus,                                                                \
      (HostStream * stream, uint32_t tag, uint32_t format, const char* name, uint32_t id, int32_t kind,         \
       const void* data, int32_t type, uint32_t count, int32_t last))                                           \
    X(GPr_IO_metad_item_convert_add, HostStatus,                                                                \
      (HostStream * stream, uint32_t tag, uint32_t format, const char** name, uint32_t* id, int32_t* kind,      \
       void** value, int32_t* type, uint32_t* count, int32_t* flag, uint32_t* length, int32_t* delivered))      \
    X(GPr_IO_metad_item_convert_set, HostStatus,                                                                \
      (HostStream * stream, uint32_t tag, uint32_t format, const char* name, uint32_t id, int32_t kind,         \
       const void* default_value, int32_t type, uint32_t count, int32_t flag, void** replacement,               \
       int32_t* out_type, uint32_t* out_count, int32_t* out_flag, int32_t* replaced))                           \
    X(DIB_palette_pointer_get, void*, (HostDibInfo * dib))                                                      \
    X(DIB_palette_size_get, uint32_t, (HostDibInfo * dib))                                                      \
    X(DIB_palette_alloc, HostStatus, (HostDibInfo * dib))                                                       \
    X(DIB_info_create_cnvt_res, HostStatus,                                                                     \
      (HostDibInfo * *dib_out, uint32_t width, uint32_t height, uint32_t depth, uint32_t format_code,           \
       const void* conversion))                                                                                 \
    X(DIB_info_delete, HostStatus, (HostDibInfo * dib))                                                         \
    X(AF_memm_free, HostStatus, (uint32_t tag, void* block, const char* file, int32_t line))                    \
    X(AF_memm_free_all, HostStatus, (uint32_t tag, const char* file, int32_t line))                             \
    X(IO_byte_read, int32_t, (HostStream * stream, uint8_t * byte))                                             \
    X(IO_tag_set, HostStatus, (HostStream * stream, uint32_t tag, uint32_t type, const void* data, uint32_t length)) \
    X(IO_tag_byte_set, HostStatus, (HostStream * stream, uint32_t tag, const uint8_t* value))                   \
    X(IO_tag_word_set, HostStatus, (HostStream * stream, uint32_t tag, const uint16_t* value))                  \
    X(IO_tag_set_exists, int32_t, (HostStream * stream))                                                        \
    X(IO_attribute_set, HostStatus, (HostStream * stream, uint32_t attribute, uint64_t value_or_address))       \
    X(IO_DIB_create_ex, HostStatus, (HostStream * stream, HostDibInfo * dib))                                   \
    X(IO_word_read, int32_t, (HostStream * stream, uint16_t * word))                                            \
    X(DIB_bit_depth_get, uint32_t, (HostDibInfo * dib))                                                         \
    X(DIB_width_get, int64_t, (HostDibInfo * dib))                                                              \
    X(DIB_height_get, int64_t, (HostDibInfo * dib))                                                             \
    X(DIB_colorspace_get, uint32_t, (HostDibInfo * dib))                                                        \
    X(DIBStd_raster_size_get, uint32_t, (HostDibInfo * dib, uint32_t mode))                                     \
    X(DIB1bit_packed_raster_size_get, uint32_t, (HostDibInfo * dib, uint32_t mode))                             \
    X(IO_raster_set, HostStatus, (HostStream * stream, const void* row, int64_t row_index, uint64_t count))     \
    X(IO_write, uint64_t, (HostStream * stream, const void* buffer, uint64_t count))                            \
    X(_TIF_tag_data_get, HostStatus, (HostTiff * tif, uint32_t index, void* buffer, uint32_t size))             \
    X(_TIF_tag_val_return, int32_t,                                                                             \
      (HostTiff * tif, uint32_t index, uint32_t zero, void* buffer, uint32_t size, uint32_t zero2))             \
    X(DIB_bits_per_channel_calc, uint32_t, (uint32_t depth))                                                    \
    X(DIB_channel_depths_ref_get, const int64_t*, (HostDibInfo * dib))                                          \
    X(GPb_FC_GetConversionParamsForSaving, void*, (HostDibInfo * dib, HostPixStruct * *formats, uint32_t count)) \
    X(GPb_fltrm_filter_register, HostStatus, (FilterControlFn control))                                         \
    X(GPb_fltrm_filter_unregister, HostStatus, (void* zero, uint32_t format))                                   \
    X(_Gpr_fltrm_HDibI_from_params_get, HostStatus,                                                             \
      (const void* input, int32_t op, HostDibInfo** dib_out, int32_t zero))                                     \
    X(_Gpr_fltrm_HDibI_from_params_free, HostStatus, (const void* input, HostDibInfo* dib, int32_t zero))       \
    X(IO_raster_size_get, uint32_t, (HostDibInfo * dib))                                                        \
    X(GPb_PixStruct_create, HostPixStruct*, (uint32_t kind, uint32_t bits))                                     \
    X(GPb_PixStruct_delete, HostStatus, (HostPixStruct * pix))                                                  \
    X(iKV_IP_planar_raster_unpack, HostStatus,                                                                  \
      (uint32_t planes, uint32_t plane, uint32_t depth, uint32_t samples, const void* plane_row, void* dest,     \
       uint32_t plane_row_length))                                                                              \
    X(iKV_IP_raster_byte_order_change, HostStatus,                                                              \
      (uint32_t bits_per_sample, uint64_t samples, int32_t byte_order, void* data))                             \
    X(GPb_math_max_get_int, int64_t, (uint32_t count, const int64_t* values))                                   \
    X(iKV_IP_raster_unpack, HostStatus,                                                                         \
      (uint32_t channels, uint32_t depth, uint64_t width, const void* source, void* dest,                       \
       uint32_t source_length))                                                                                 \
    X(iKV_IP_raster_unpack_masked, HostStatus,                                                                  \
      (uint32_t bits, uint32_t channels, const uint64_t* masks, uint32_t bits_per_channel, uint64_t width,      \
       const void* source, void* dest, uint32_t source_length))                                                 \
    X(iKV_IP_raster_LAB_signed_to_unsigned, HostStatus,                                                         \
      (uint32_t channels, const int64_t* depths, uint64_t width, void* row))                                    \
    X(IO_attribute_get, int32_t, (HostStream * stream, uint32_t attribute, void* value_out))                    \
    X(IO_byte_order_get, int32_t, (HostStream * stream))                                                        \
    X(IO_byte_write, int32_t, (HostStream * stream, uint8_t byte))                                              \
    X(IO_DIB_convert_get, HostStatus,                                                                           \
      (HostStream * stream, HostDibInfo** dib_out, SaveFormatSelectFn select, void* settings,                   \
       uint32_t conversion))                                                                                    \
    X(IO_raster_convert_get, HostStatus, (HostStream * stream, int64_t row_index, const void** row_out))        \
    X(IO_tag_byte_get, int32_t, (HostStream * stream, uint32_t tag, uint8_t * value))                           \
    X(IO_tag_get, int32_t, (HostStream * stream, uint32_t tag, uint32_t * type, void* dest, uint32_t size))     \
    X(IO_tag_get_exists, int32_t, (HostStream * stream))                                                        \
    X(IO_tag_word_get, int32_t, (HostStream * stream, uint32_t tag, uint16_t * value))                          \
    X(IO_word_write, int32_t, (HostStream * stream, uint16_t word))                                             \
    X(GPb_mult_source_register, HostStatus, (void* source))                                                     \
    X(GPb_mult_source_unregister, HostStatus, (void* source))                                                   \
    X(iKV_DIB_area_set_ex, HostStatus,                                                                          \
      (HostImage * image, const HostArea* area, const void* buffer, uint32_t format, uint32_t flag))            \
    X(iKV_DIB_area_get_ex, HostStatus,                                                                          \
      (HostImage * image, const HostArea* area, void* buffer, uint32_t format, uint32_t flag, uint32_t zero))   \
    X(iKV_DIB_area_size_get_ex, HostStatus,                                                                     \
      (HostImage * image, const HostArea* area, uint32_t format, uint32_t flag, uint64_t* size_out))            \
    X(GPb_palette_pointer_get, void*, (HostImage * image))                                                      \
    X(iKV_page_count_get, HostStatus, (HostStream * stream, uint64_t * count_out))                              \
    X(iKV_DIB_raster_set_ex, HostStatus,                                                                        \
      (HostImage * image, int64_t row_index, const void* row, uint32_t format, uint32_t flag))                  \
    X(iKV_DIB_raster_get_ex, HostStatus,                                                                        \
      (HostImage * image, int64_t row_index, void* row, uint32_t format, uint32_t flag, uint32_t zero))         \
    X(iKV_DIB_raster_size_get_ex, HostStatus,                                                                   \
      (HostImage * image, uint32_t format, uint32_t flag, uint64_t * size_out))                                 \
    X(iKV_image_create_DIB, HostStatus,                                                                         \
      (uint64_t width, uint64_t height, uint32_t depth, uint32_t zero, HostImage** image_out))                  \
    X(iKV_image_is_valid, int32_t, (HostImage * image))                                                         \
    X(iKV_image_duplicate, HostStatus, (HostImage * image, HostImage** copy_out))                               \
    X(iKV_image_delete, HostStatus, (HostImage * image))                                                        \
    X(iKV_image_dimensions_get, HostStatus,                                                                     \
      (HostImage * image, int64_t * left, int64_t * top, int64_t * width, int64_t * height))                    \
    X(IO_open, int64_t, (HostStream * stream, const char* name, uint32_t mode))                                 \
    X(IO_close, HostStatus, (HostStream * stream))                                                              \
    X(GPr_load_CB_data_done, HostStatus, (void* load_record))

/* One function-pointer type per service: PFN_<name>. */
#define KV_DECLARE_SERVICE_TYPE(name, ret, params) typedef ret(*PFN_##name) params;
KV_HOST_SERVICES(KV_DECLARE_SERVICE_TYPE)
#undef KV_DECLARE_SERVICE_TYPE

/* The table through which the component calls the host: one slot per
 * service, in lookup order. */
#define KV_DECLARE_SERVICE_SLOT(name, ret, params) PFN_##name name;
typedef struct HostServiceTable {
    KV_HOST_SERVICES(KV_DECLARE_SERVICE_SLOT)
} HostServiceTable;
#undef KV_DECLARE_SERVICE_SLOT

/* ---------------------------------------------------------------------
 * Entry points of the component
 * ------------------------------------------------------------------- */

/* Stores the service's address in *slot and returns 0, or non-zero. */
typedef HostStatus (*HostLookupFn)(const char* name, void* slot, const char* component);
/* Accepts (0) or refuses (non-zero) one named service. */
typedef HostStatus (*HostOfferFn)(void* context, const char* name, void* function, void* reserved);

typedef HostStatus (*CPb_LZW_init_fn)(HostLookupFn lookup);
typedef HostStatus (*CPb_LZW_attach_fn)(void* context, HostOfferFn offer);
typedef HostStatus (*CPb_LZW_info_get_fn)(const char** name, uint32_t* major, uint32_t* minor, uint32_t* update,
                                          const char** build_date, const char** description);
typedef HostStatus (*CPb_LZW_done_fn)(void);

#ifdef __cplusplus
} /* extern "C" */

/* ---------------------------------------------------------------------
 * Multi-page sources (C++: the host calls these through their virtual
 * tables and catches the int64_t status that a failing operation throws).
 * ------------------------------------------------------------------- */

class CKVMultInstance;

class CKVMultSource {
public:
    virtual bool probe(HostStream* stream) = 0;
    virtual uint32_t format_number() = 0;
    virtual CKVMultInstance* create_instance(HostStream* stream) = 0;
    virtual void destroy_instance(CKVMultInstance* instance) = 0;

protected:
    ~CKVMultSource() = default;
};

class CKVMultInstance {
public:
    virtual HostStatus open(HostStream* stream) = 0;
    virtual uint32_t format_number() = 0;
    virtual uint64_t page_count() = 0;
    virtual uint64_t total_duration_ms() = 0;
    virtual uint32_t constant_one() = 0;
    virtual HostImage* frame_image(uint64_t index) = 0;
    virtual uint64_t frame_delay(uint64_t index) = 0;
    virtual uint64_t frame_at_time(uint64_t milliseconds) = 0;
    virtual uint32_t constant_zero() = 0;
    /* Slots 9 to 12: operations no GIF instance supports; the component's
     * instances record -900 and throw for each. */
    virtual void unsupported_9() = 0;
    virtual void unsupported_10() = 0;
    virtual void unsupported_11() = 0;
    virtual void unsupported_12() = 0;
    virtual void property_set(uint32_t id, const void* value) = 0;
    virtual void property_get(uint32_t id, void* result) = 0;
    virtual uint64_t property_size(uint32_t id) = 0;
    virtual void page_property_16(void* first, uint32_t id) = 0;
    virtual void page_property_17(void* first, uint32_t id) = 0;
    virtual void page_property_18(void* first, uint32_t id) = 0;

protected:
    /* Instances are destroyed through their source's destroy_instance. */
    ~CKVMultInstance() = default;
};
#endif

#endif /* KVLZW_ABI_H */
