// What the updater's tests under Wine share: UTF-8 paths turned wide at the
// system's door, a private folder with a Chinese name, whole files read and
// written, and test data.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "download/CurlShare.h"
#include "log/FileLogger.h"
#include "platform/text.h"

namespace win_test {

inline std::wstring Wide(const std::string& utf8) {
    std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

inline std::string Narrow(const std::wstring& wide) {
    return platform::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

inline std::filesystem::path Path(const std::string& utf8) { return std::filesystem::path(Wide(utf8)); }

inline bool WriteWhole(const std::string& path, const std::string& data) {
    HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (size_t at = 0; ok && at < data.size();) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(data.size() - at, 1u << 24));
        ok = ::WriteFile(file, data.data() + at, piece, &written, nullptr) && written == piece;
        at += written;
    }
    return ::CloseHandle(file) && ok;
}

// The whole file; "" when it cannot be read.
inline std::string ReadWhole(const std::string& path) {
    HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string data;
    char buffer[1 << 16];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) data.append(buffer, read);
    ::CloseHandle(file);
    return data;
}

inline bool Exists(const std::string& path) {
    return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// `size` bytes that differ with `seed` and repeat only after a long period.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
    std::string data(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<char>(state >> 24);
    }
    return data;
}

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// For a suite that runs the engine: its log (every level) in the program's
// log folder as `name`, and the transfers' shared cache; false when the
// cache cannot be set up.
inline bool PrepareEngine(const char* name) {
    FileLogger* log = FileLogger::Instance();
    log->Open(name);
    log->maxLevel = 0;
    return InitCurlShare();
}

// A fresh folder under the user's temporary folder, with Chinese in its
// name; removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, base);
        for (int i = 0; i < 1000 && path_.empty(); ++i) {
            std::wstring candidate = std::wstring(base) + L"更新测试-" + std::to_wstring(::GetCurrentProcessId()) +
                                     L"-" + std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(i);
            if (::CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(std::filesystem::path(path_), ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    bool valid() const { return !path_.empty(); }
    // UTF-8, without a trailing separator.
    std::string path() const { return Narrow(path_); }
    std::string operator/(const std::string& name) const { return path() + "\\" + name; }

private:
    std::wstring path_;
};

}  // namespace win_test
