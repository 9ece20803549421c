#include <windows.h>
#include <shlobj.h>

#include "log/LogFile.h"
#include "platform/text.h"

namespace updater_log {

namespace {

std::wstring Wide(const std::string& utf8) {
    std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

HANDLE Handle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

const char kPathSeparator = '\\';
const std::string_view kPathSeparators = "\\/";

LogFile LogFile::CreateNew(const std::string& path, bool* exists) {
    LogFile file;
    // Readers (a viewer, a tail) may look while the log grows.
    HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    *exists = handle == INVALID_HANDLE_VALUE &&
              (::GetLastError() == ERROR_FILE_EXISTS || ::GetLastError() == ERROR_ALREADY_EXISTS);
    if (handle != INVALID_HANDLE_VALUE) file.native_ = reinterpret_cast<intptr_t>(handle);
    return file;
}

int64_t LogFile::Write(const char* data, size_t size) {
    DWORD written = 0;
    const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!::WriteFile(Handle(native_), data, piece, &written, nullptr)) return -1;
    return written;
}

bool LogFile::Truncate(uint64_t length) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFilePointerEx(Handle(native_), to, nullptr, FILE_BEGIN) && ::SetEndOfFile(Handle(native_));
}

void LogFile::reset() {
    if (valid()) ::CloseHandle(Handle(native_));
    native_ = kInvalid;
}

bool MakeDir(const std::string& path) {
    return ::CreateDirectoryW(Wide(path).c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MakeDirs(const std::string& path) {
    const int result = ::SHCreateDirectoryExW(nullptr, Wide(path).c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS;
}

bool LocalTime(time_t when, tm* local) { return ::localtime_s(local, &when) == 0; }

}  // namespace updater_log
