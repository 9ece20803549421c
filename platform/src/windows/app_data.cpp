#include "platform/app_data.h"

#include <windows.h>
#include <shlobj.h>

#include "wide.h"

namespace platform {

std::string LocalAppDataDir() {
    PWSTR path = nullptr;
    HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &path);
    std::string out;
    if (SUCCEEDED(hr) && path) out = Narrow(path);
    // Freed on failure too, as the documentation asks.
    ::CoTaskMemFree(path);
    while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
    return out;
}

}  // namespace platform
