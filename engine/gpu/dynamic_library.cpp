#include "gpu/dynamic_library.h"

#include <dlfcn.h>

namespace qlmr {

LibraryHandle loadFirstLibrary(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        // RTLD_LOCAL keeps the library's symbols out of the global namespace:
        // everything is reached through getProc.
        if (LibraryHandle library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL))
            return library;
    }
    return nullptr;
}

void* getProc(LibraryHandle library, const char* name)
{
    if (!library)
        return nullptr;
    return dlsym(library, name);
}

void freeLibrary(LibraryHandle library)
{
    if (library)
        dlclose(library);
}

} // namespace qlmr
