#include "../ArgumentPath.h"

#include <windows.h>

#include <system_error>

namespace fs = std::filesystem;

namespace zlibdll {

bool ToPath(const char16_t* text, fs::path* out) {
    if (!text || !*text) return false;
    const std::wstring wide(reinterpret_cast<const wchar_t*>(text));
    // Only checked here: an unpaired surrogate makes the call fail.
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.c_str(), static_cast<int>(wide.size()), nullptr,
                              0, nullptr, nullptr) <= 0)
        return false;
    std::error_code error;
    // Wide all the way: a narrow path would go through the ANSI code page.
    // Lexical: a package or folder that does not exist yet still maps.
    *out = fs::absolute(fs::path(wide), error).lexically_normal();
    if (error) return false;
    if (!out->has_filename() && out->has_parent_path() && *out != out->root_path())
        *out = out->parent_path();  // "X\" and "X" name the same folder
    return true;
}

std::string Utf8(const fs::path& path) {
    const std::wstring wide = path.wstring();
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), size, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace zlibdll
