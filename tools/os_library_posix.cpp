// Shared libraries through the dynamic loader.

#include <dlfcn.h>

#include <string>

#include "Tools/os.h"

namespace Tools {
namespace {

// The loader's text is per thread and overwritten by its next call, so the
// reason for our last failure is kept here until the next one.
thread_local std::string t_last_error;

void KeepLoaderError(const char* fallback) {
    const char* reason = ::dlerror();
    t_last_error = reason ? reason : fallback;
}

}  // namespace

void* os_dlopen(const char* path) {
    if (!path || !*path) {
        t_last_error = "no library path given";
        return nullptr;
    }
    std::string name(path);
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.find(".so") == std::string::npos) name += ".so";
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) KeepLoaderError(("cannot load " + name).c_str());
    return library;
}

void* os_dlsym(void* library, const char* name) {
    if (!library || !name) {
        t_last_error = "no library or symbol name given";
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(library, name);
    if (!address) KeepLoaderError((std::string("symbol not found: ") + name).c_str());
    return address;
}

void os_dlclose(void* library) {
    if (library && ::dlclose(library) != 0) KeepLoaderError("cannot unload library");
}

const char* os_dlerror() { return t_last_error.c_str(); }

}  // namespace Tools
