#include "WidePath.h"

#include "../Utf.h"
#include "unpack/Printable.h"

namespace tavlin::unpack {

std::wstring Widen(const std::string& utf8) {
    const std::u16string wide = ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

bool LongAbsolutePath(const std::string& path, std::wstring& out) {
    bool valid = false;
    const std::u16string text = ToUtf16(path, &valid);
    if (!valid || text.empty()) return false;
    std::wstring wide(text.begin(), text.end());
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (wide.rfind(L"\\\\?\\", 0) != 0) {
        const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        if (size == 0) return false;
        std::wstring full(size, L'\0');
        const DWORD length = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
        if (length == 0 || length >= size) return false;
        full.resize(length);
        if (full.rfind(L"\\\\", 0) == 0) wide = L"\\\\?\\UNC\\" + full.substr(2);
        else wide = L"\\\\?\\" + full;
    }
    // "X:\" keeps its separator; any other folder drops it.
    while (wide.size() > 7 && wide.back() == L'\\' && wide[wide.size() - 2] != L':') wide.pop_back();
    out = std::move(wide);
    return true;
}

std::wstring Below(const std::wstring& root, const std::vector<std::string>& components, std::size_t count) {
    std::wstring out = root;
    for (std::size_t i = 0; i < count; ++i) {
        if (out.back() != L'\\') out += L'\\';
        out += Widen(components[i]);
    }
    return out;
}

std::wstring Below(const std::wstring& root, const std::vector<std::string>& components) {
    return Below(root, components, components.size());
}

std::string ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (length > 0 && text) message.assign(text, text + length);
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' ' ||
                                message.back() == u'.'))
        message.pop_back();
    std::string out = Printable(ToUtf8(message));
    return out.empty() ? "error " + std::to_string(code) : out + " (error " + std::to_string(code) + ")";
}

bool RealFolders(const std::wstring& root, const std::vector<std::string>& components, std::size_t count,
                 std::string& why) {
    std::string key;
    for (std::size_t i = 1; i <= count; ++i) {
        if (!key.empty()) key += '/';
        key += components[i - 1];
        const DWORD attributes = ::GetFileAttributesW(Below(root, components, i).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return true;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            why = "\"" + Printable(key) + "\" is not a folder";
            return false;
        }
    }
    return true;
}

bool RemoveFile(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error != ERROR_ACCESS_DENIED) return false;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) != 0;
}

}  // namespace tavlin::unpack
