#include <windows.h>

#include <string>

#include "LauncherFiles.h"
#include "platform/text.h"

namespace launcher {

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string message;
    if (n > 0 && text) message.assign(text, text + n);
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' '))
        message.pop_back();
    std::string result = platform::Utf16ToUtf8(message);
    return result.empty() ? "error " + std::to_string(error) : result + " (" + std::to_string(error) + ")";
}

}  // namespace

bool FileExists(const std::string& path) {
    return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveFile(const std::string& path) {
    const std::wstring wide = Wide(path);
    if (::DeleteFileW(wide.c_str()) || ::GetLastError() != ERROR_ACCESS_DENIED) return;
    // Windows will not delete a read-only file; a package that came
    // read-only must still go once it was tried.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return;
    if (::SetFileAttributesW(wide.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) &&
        !::DeleteFileW(wide.c_str()))
        ::SetFileAttributesW(wide.c_str(), attributes);
}

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string& why) {
    // Across volumes the system copies and then deletes the source; with
    // write-through it returns only once the copy is on disk.
    if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return true;
    why = SystemMessage(::GetLastError());
    return false;
}

}  // namespace launcher
