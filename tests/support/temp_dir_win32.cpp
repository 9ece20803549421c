#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/text.h"
#include "temp_dir.h"

namespace tavlin_test {

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

}  // namespace

// The user's temporary folder, not $TMPDIR: under Wine that holds a Unix path.
TempDir::TempDir(const std::string& prefix, const std::string& in) {
    std::wstring base;
    if (!in.empty()) {
        base = Wide(in) + L"\\";
    } else {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        if (length == 0 || length > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
        base = temp;
    }
    const std::wstring stem = base + Wide(prefix) + std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::wstring candidate = stem + std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(attempt);
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = platform::Utf16ToUtf8(std::u16string(candidate.begin(), candidate.end()));
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot create a temporary folder for " + prefix);
}

}  // namespace tavlin_test
