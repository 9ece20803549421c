#include "platform/component.h"

#include <windows.h>
#include <ole2.h>

#include <memory>

#include "wide.h"

namespace platform {

namespace {

using RegisterServerFn = HRESULT(STDAPICALLTYPE*)();

// OLE for this thread for the life of the object; on a thread that already
// has it, this only counts up and down again.
class OleScope {
public:
    OleScope() : ok_(SUCCEEDED(::OleInitialize(nullptr))) {}
    ~OleScope() {
        if (ok_) ::OleUninitialize();
    }
    OleScope(const OleScope&) = delete;
    OleScope& operator=(const OleScope&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

// No error box while a file loads, for this thread only, put back after.
class QuietErrors {
public:
    QuietErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_); }
    ~QuietErrors() { ::SetThreadErrorMode(old_, nullptr); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

private:
    DWORD old_ = 0;
};

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& path)
        : module_(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    ~LoadedLibrary() {
        if (module_) ::FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    explicit operator bool() const { return module_ != nullptr; }
    FARPROC Symbol(const char* name) const { return ::GetProcAddress(module_, name); }

private:
    HMODULE module_;
};

}  // namespace

bool RegisterComponentLibrary(const std::string& path) {
    if (path.empty()) return false;
    OleScope ole;
    if (!ole.ok()) return false;
    std::wstring file = Wide(path);
    // LOAD_WITH_ALTERED_SEARCH_PATH needs a full path to mean "beside it".
    wchar_t full[MAX_PATH * 4];
    DWORD n = ::GetFullPathNameW(file.c_str(), MAX_PATH * 4, full, nullptr);
    if (n > 0 && n < MAX_PATH * 4) file.assign(full, n);
    std::unique_ptr<LoadedLibrary> library;
    {
        QuietErrors quiet;
        library = std::make_unique<LoadedLibrary>(file);
    }
    if (!*library) return false;
    auto registerServer = reinterpret_cast<RegisterServerFn>(reinterpret_cast<void*>(library->Symbol("DllRegisterServer")));
    return registerServer && SUCCEEDED(registerServer());
}

}  // namespace platform
