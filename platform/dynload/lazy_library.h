#pragma once
// A system library opened by name only when an operation first needs it: loaded with the relay,
// it would cost a short run (an unchanged re-run, a listing) more than its work. Used for the
// transfer library (kvtrelay/curl_http.cpp), OpenSSL's digests (kvtrelay/sha256_stream.cpp) and
// the relay's copy of the ZIP reader (ziparchive/zip_api_lazy.cpp).

#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace dynload {

/// One function of the library: its name, and the function pointer its address goes to.
struct LibraryFunction {
    const char* name;
    void** address;
};

class CLazyLibrary {
public:
    CLazyLibrary(const char* file, std::initializer_list<LibraryFunction> functions);
    CLazyLibrary(const CLazyLibrary&) = delete;
    CLazyLibrary& operator=(const CLazyLibrary&) = delete;

    /// Opens the library the first time (never closed again: libraries like these register exit
    /// handlers) and fills every function pointer. True when all were found; otherwise false,
    /// with the reason in error, and the next call tries again.
    bool Open(std::string& error);

private:
    const char* m_file;
    std::vector<LibraryFunction> m_functions;
    std::mutex m_mutex;
    void* m_handle = nullptr;
};

/// The address slot of a function pointer, for a LibraryFunction.
template <typename F>
void** Slot(F& pointer)
{
    return reinterpret_cast<void**>(&pointer);
}

}  // namespace dynload
