#include "kvhost/shared_library.h"

#include <dlfcn.h>

namespace kvhost {

bool load_symbols(const char* soname, const char* const* names, size_t count, void** addresses, std::string* why) {
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (why != nullptr) *why = dlerror();
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        addresses[i] = dlsym(handle, names[i]);
        if (addresses[i] == nullptr) {
            if (why != nullptr) *why = std::string(soname) + " has no " + names[i];
            return false;
        }
    }
    return true;
}

}  // namespace kvhost
