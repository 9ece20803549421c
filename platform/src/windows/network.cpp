#include "platform/network.h"

#include <windows.h>

namespace platform {

namespace {

using IsNetworkAliveFn = BOOL(WINAPI*)(LPDWORD);

// sensapi has no import library in mingw-w64, so it is loaded once and kept
// for the life of the process.
class SensApi {
public:
    SensApi() : module_(::LoadLibraryExW(L"sensapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Systems without the safe search flag refuse it; the plain load then
        // still looks in the system folder first for a known system DLL.
        if (!module_) module_ = ::LoadLibraryW(L"sensapi.dll");
        if (module_)
            isNetworkAlive_ = reinterpret_cast<IsNetworkAliveFn>(
                reinterpret_cast<void*>(::GetProcAddress(module_, "IsNetworkAlive")));
    }
    ~SensApi() {
        if (module_) ::FreeLibrary(module_);
    }
    SensApi(const SensApi&) = delete;
    SensApi& operator=(const SensApi&) = delete;

    IsNetworkAliveFn get() const { return isNetworkAlive_; }

private:
    HMODULE module_ = nullptr;
    IsNetworkAliveFn isNetworkAlive_ = nullptr;
};

}  // namespace

bool IsNetworkAlive() {
    static const SensApi api;
    if (!api.get()) return false;
    DWORD flags = 0;
    return api.get()(&flags) != FALSE;
}

}  // namespace platform
