#include "deflate_library.h"

namespace kvtool {

namespace {
constexpr const char* kLibdeflateNames[] = {LIBDEFLATE_FUNCTIONS(KVHOST_LAZY_NAME)};
constexpr const char* kZlibNames[] = {ZLIB_FUNCTIONS(KVHOST_LAZY_NAME)};
}  // namespace

const Libdeflate* load_libdeflate(std::string* why) {
    return kvhost::load_table_once<Libdeflate>(KVLZW_LIBDEFLATE, kLibdeflateNames, why);
}

const Zlib* load_zlib(std::string* why) { return kvhost::load_table_once<Zlib>(KVLZW_ZLIB, kZlibNames, why); }

}  // namespace kvtool
