// Loading a shared library when it is first needed instead of at start-up.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace kvhost {

// Opens the library named `soname` (it then stays loaded for the life of
// the process) and finds each of the `count` symbols `names`, their
// addresses going to `addresses`: all or nothing. On failure returns false
// and says why (the dynamic loader's own text) in *why.
bool load_symbols(const char* soname, const char* const* names, size_t count, void** addresses, std::string* why);

// A library's functions are listed once, as F(prefix, name) entries of a
// list macro; these two expand the list to a table's members (each typed
// as its function) and to the symbol names, in the same order:
//   #define ZLIB_FUNCTIONS(F) F(, inflate) F(, deflate)
//   struct Zlib { ZLIB_FUNCTIONS(KVHOST_LAZY_MEMBER) };
//   constexpr const char* kZlibNames[] = {ZLIB_FUNCTIONS(KVHOST_LAZY_NAME)};
#define KVHOST_LAZY_MEMBER(prefix, name) decltype(&::prefix##name) name;
#define KVHOST_LAZY_NAME(prefix, name) #prefix #name,

// The same for a struct of function pointers whose members, in order, are
// the functions named in `names`.
template <typename Table, size_t N>
bool load_table(const char* soname, const char* const (&names)[N], Table* table, std::string* why) {
    static_assert(sizeof(Table) == N * sizeof(void*), "one name per member");
    void* addresses[N];
    if (!load_symbols(soname, names, N, addresses, why)) return false;
    std::memcpy(static_cast<void*>(table), addresses, sizeof addresses);
    return true;
}

// The table, loaded by the first call for the whole process; a failure is
// remembered too, its reason given to every caller. One instance per table
// type.
template <typename Table, size_t N>
const Table* load_table_once(const char* soname, const char* const (&names)[N], std::string* why) {
    static std::string failure;
    static const Table* const loaded = [&] {
        static Table table;
        return load_table(soname, names, &table, &failure) ? &table : nullptr;
    }();
    if (loaded == nullptr && why != nullptr) *why = failure;
    return loaded;
}

}  // namespace kvhost
