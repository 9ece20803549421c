// Windows: every file is opened through CreateFileW on its UTF-16 path; the
// temporary file without sharing, so that "held by another" is what the
// system itself enforces.
#include <windows.h>

#include <algorithm>

#include "download/DownloadFile.h"
#include "platform/text.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

HANDLE Handle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

intptr_t Native(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// One call moves at most this much; callers loop or take a short count.
constexpr size_t kMaxTransfer = 1u << 30;

}  // namespace

DownloadFile DownloadFile::OpenHeld(const std::string& path, bool create, int* error, bool* heldElsewhere) {
    *heldElsewhere = false;
    // DELETE access lets RemoveUnlessHeld delete through the same handle.
    HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = static_cast<int>(::GetLastError());
        *heldElsewhere = *error == ERROR_SHARING_VIOLATION || *error == ERROR_LOCK_VIOLATION;
        return {};
    }
    return Adopt(Native(handle));
}

DownloadFile DownloadFile::OpenToRead(const std::string& path) {
    HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return handle == INVALID_HANDLE_VALUE ? DownloadFile() : Adopt(Native(handle));
}

DownloadFile DownloadFile::Duplicate() const {
    if (!valid()) return {};
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), Handle(native_), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return {};
    return Adopt(Native(copy));
}

int64_t DownloadFile::WriteAt(uint64_t offset, const void* data, size_t size, int* error) const {
    if (!valid()) {
        *error = ERROR_INVALID_HANDLE;
        return -1;
    }
    OVERLAPPED at = At(offset);
    DWORD written = 0;
    if (!::WriteFile(Handle(native_), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &written, &at)) {
        *error = static_cast<int>(::GetLastError());
        return -1;
    }
    return written;
}

int64_t DownloadFile::ReadAt(uint64_t offset, void* data, size_t size) const {
    OVERLAPPED at = At(offset);
    DWORD read = 0;
    if (!::ReadFile(Handle(native_), data, static_cast<DWORD>(std::min(size, kMaxTransfer)), &read, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return read;
}

bool DownloadFile::Length(uint64_t* length, int* error) const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(Handle(native_), &size)) {
        *error = static_cast<int>(::GetLastError());
        return false;
    }
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool DownloadFile::SetLength(uint64_t length, int* error) const {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (::SetFileInformationByHandle(Handle(native_), FileEndOfFileInfo, &end, sizeof end)) return true;
    // Systems that refuse the class: the file pointer and SetEndOfFile.
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(length);
    if (::SetFilePointerEx(Handle(native_), to, nullptr, FILE_BEGIN) && ::SetEndOfFile(Handle(native_)))
        return true;
    *error = static_cast<int>(::GetLastError());
    return false;
}

bool DownloadFile::Allocate(uint64_t length, int* error) const {
    // The extended part reads as zeros, as posix_fallocate's does.
    return SetLength(0, error) && SetLength(length, error);
}

void DownloadFile::Commit() const {
    if (valid()) ::FlushFileBuffers(Handle(native_));
}

int DownloadFile::Close() {
    if (!valid()) return 0;
    return ::CloseHandle(Handle(Release())) ? 0 : static_cast<int>(::GetLastError());
}

namespace download_file {

bool Exists(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool Remove(const std::string& path) {
    if (::DeleteFileW(Wide(path).c_str())) return true;
    DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RemoveUnlessHeld(const std::string& path) {
    int error = 0;
    bool held = false;
    DownloadFile file = DownloadFile::OpenHeld(path, false, &error, &held);
    if (!file) return !held && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || Remove(path));
    // Deleted through the handle that keeps everyone else out: it goes
    // when the handle closes.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    HANDLE handle = Handle(file.Release());
    const bool marked = ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(handle);
    return marked;
}

int Copy(const std::string& from, const std::string& to) {
    const std::wstring target = Wide(to);
    if (::CopyFileW(Wide(from).c_str(), target.c_str(), FALSE)) return 0;
    int error = static_cast<int>(::GetLastError());
    ::DeleteFileW(target.c_str());
    return error;
}

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
    if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    *error = static_cast<int>(::GetLastError());
    return false;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return ::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool WriteWhole(const std::string& path, const std::string& text) {
    HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = text.empty() ||
              (::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
               written == text.size());
    return ::CloseHandle(handle) && ok;
}

bool MakeFolders(const std::string& dir) {
    const std::wstring wide = Wide(dir);
    // A drive ("C:\\") or a share ("\\\\server\\share\\") is never made here.
    size_t first = 0;
    if (wide.size() >= 2 && wide[1] == L':') first = 2;
    else if (wide.rfind(L"\\\\", 0) == 0) first = wide.find_first_of(L"\\/", wide.find_first_of(L"\\/", 2) + 1);
    if (first == std::wstring::npos) return true;
    size_t pos = first;
    while (pos != std::wstring::npos) {
        pos = wide.find_first_of(L"\\/", pos + 1);
        const std::wstring level = wide.substr(0, pos);
        if (level.size() <= first) continue;
        if (::CreateDirectoryW(level.c_str(), nullptr)) continue;
        if (::GetLastError() == ERROR_ALREADY_EXISTS) {
            const DWORD attributes = ::GetFileAttributesW(level.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
        }
    }
    return true;
}

int InvalidArgument() { return ERROR_INVALID_PARAMETER; }

int BadHandle() { return ERROR_INVALID_HANDLE; }

std::string ErrorText(int error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::u16string wide(text ? reinterpret_cast<const char16_t*>(text) : u"", length);
    if (text) ::LocalFree(text);
    while (!wide.empty() && (wide.back() == u'\n' || wide.back() == u'\r' || wide.back() == u' ')) wide.pop_back();
    return wide.empty() ? "error " + std::to_string(error) : platform::Utf16ToUtf8(wide);
}

int LastError() { return static_cast<int>(::GetLastError()); }

}  // namespace download_file
