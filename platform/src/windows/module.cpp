#include "platform/module.h"

#include <windows.h>

#include <vector>

#include "wide.h"

namespace platform {

bool GetModulePath(std::string& path) {
    // The answer is cut to the room given without saying so except through
    // the count, so grow until it is strictly shorter.
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return false;
        if (n < buf.size()) {
            std::string p = Narrow(std::wstring_view(buf.data(), n));
            if (p.empty()) return false;
            path = std::move(p);
            return true;
        }
        if (buf.size() >= 32768) return false;
        buf.resize(buf.size() * 2);
    }
}

bool GetModuleFolder(std::string& folder) {
    std::string path;
    if (!GetModulePath(path)) return false;
    size_t sep = path.find_last_of("\\/");
    if (sep == std::string::npos) return false;
    folder = path.substr(0, sep + 1);
    return true;
}

std::string GetCurrentDir() {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD need = ::GetCurrentDirectoryW(0, nullptr);
        if (need == 0) return {};
        std::vector<wchar_t> buf(need);
        DWORD n = ::GetCurrentDirectoryW(need, buf.data());
        if (n == 0) return {};
        // Another thread may have changed it to a longer one in between.
        if (n < need) return Narrow(std::wstring_view(buf.data(), n));
    }
    return {};
}

bool SetCurrentDir(const std::string& dir) {
    return !dir.empty() && ::SetCurrentDirectoryW(Wide(dir).c_str()) != FALSE;
}

}  // namespace platform
