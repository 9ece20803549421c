#include "platform/component.h"

#include <dlfcn.h>

#include <cstdint>

namespace platform {

namespace {

using RegisterServerFn = int32_t (*)();

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedLibrary() {
        if (handle_) ::dlclose(handle_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    void* Symbol(const char* name) const { return ::dlsym(handle_, name); }

private:
    void* handle_;
};

}  // namespace

bool RegisterComponentLibrary(const std::string& path) {
    if (path.empty()) return false;
    std::string file = path;
    // A bare name would send dlopen through the library search path.
    if (file.find('/') == std::string::npos) file.insert(0, "./");
    LoadedLibrary library(file);
    if (!library) return false;
    auto registerServer = reinterpret_cast<RegisterServerFn>(library.Symbol("DllRegisterServer"));
    return registerServer && registerServer() >= 0;
}

}  // namespace platform
