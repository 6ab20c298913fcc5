// libdeflate, loaded the first time a PNG is read or written: runs that
// write no PNG do not pay for loading it. zlib, loaded only for the rare
// image data that libdeflate will not read whole.
#pragma once

#include "kvhost/shared_library.h"

#include <libdeflate.h>
#include <zlib.h>

#include <string>

namespace kvtool {

#define LIBDEFLATE_FUNCTIONS(F)                                                                                    \
    F(libdeflate_, alloc_compressor) F(libdeflate_, zlib_compress) F(libdeflate_, zlib_compress_bound)              \
    F(libdeflate_, free_compressor) F(libdeflate_, alloc_decompressor) F(libdeflate_, deflate_decompress_ex)        \
    F(libdeflate_, free_decompressor) F(libdeflate_, crc32)
struct Libdeflate {
    LIBDEFLATE_FUNCTIONS(KVHOST_LAZY_MEMBER)
};

// The loaded library, or nullptr with the loader's reason in *why.
const Libdeflate* load_libdeflate(std::string* why);

#define ZLIB_FUNCTIONS(F) F(, inflateInit2_) F(, inflate) F(, inflateEnd)
struct Zlib {
    ZLIB_FUNCTIONS(KVHOST_LAZY_MEMBER)
};

const Zlib* load_zlib(std::string* why);

}  // namespace kvtool
