#include "platform/url_scheme.h"

#include <windows.h>

#include <cctype>

#include "platform/unique_handle.h"
#include "wide.h"

namespace platform {

namespace {

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) ::RegCloseKey(key_);
    }
    // Opens or creates `path` below `root` for writing values.
    bool Create(HKEY root, const std::wstring& path) {
        return ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                 &key_, nullptr) == ERROR_SUCCESS;
    }
    // REG_SZ of exactly the text and its terminating NUL.
    bool SetString(const wchar_t* valueName, const std::wstring& text) {
        DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        return ::RegSetValueExW(key_, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes) ==
               ERROR_SUCCESS;
    }

private:
    HKEY key_ = nullptr;
};

bool ValidScheme(const std::string& s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// The machine's classes take writes only from an elevated process.
bool Elevated() {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

}  // namespace

bool RegisterUrlScheme(const std::string& scheme, const std::string& name, const std::string& command,
                       UrlSchemeRoot* where) {
    if (!ValidScheme(scheme) || command.empty()) return false;
    const bool machine = Elevated();
    if (where) *where = machine ? UrlSchemeRoot::Machine : UrlSchemeRoot::User;
    HKEY root = machine ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
    std::wstring base = (machine ? std::wstring() : std::wstring(L"Software\\Classes\\")) + Wide(scheme);

    RegKey schemeKey;
    if (!schemeKey.Create(root, base) || !schemeKey.SetString(nullptr, Wide("URL:" + name)) ||
        !schemeKey.SetString(L"URL Protocol", L""))
        return false;
    RegKey commandKey;
    return commandKey.Create(root, base + L"\\shell\\open\\command") && commandKey.SetString(nullptr, Wide(command));
}

std::string UrlSchemeCommand(const std::string& programPath) { return "\"" + programPath + "\" \"%1\""; }

}  // namespace platform
