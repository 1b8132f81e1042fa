// Opening a system library by name on first use, with dlopen.

#include "lazy_library.h"

#include <dlfcn.h>

namespace dynload {

CLazyLibrary::CLazyLibrary(const char* file, std::initializer_list<LibraryFunction> functions)
    : m_file(file), m_functions(functions)
{}

bool CLazyLibrary::Open(std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handle)
        return true;
    void* handle = dlopen(m_file, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = std::string("cannot load ") + m_file + ": " + (why ? why : "?");
        return false;
    }
    for (const LibraryFunction& f : m_functions) {
        *f.address = dlsym(handle, f.name);
        if (!*f.address) {
            error = std::string(m_file) + " has no function " + f.name;
            dlclose(handle);
            return false;
        }
    }
    m_handle = handle;
    return true;
}

}  // namespace dynload
