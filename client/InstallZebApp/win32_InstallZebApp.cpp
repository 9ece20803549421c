// Stand-in for the COM server shipped with an update, as a Windows DLL. Its
// self-registration export appends one line to "InstallZebApp.registered"
// in the folder the DLL was loaded from, so a test can see each
// registration happen: "registered <DLL path> pid <process id>\n" (UTF-8).
#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace {

constexpr wchar_t kRecordFile[] = L"InstallZebApp.registered";
// Long enough for any path the loader accepts.
constexpr DWORD kPathChars = 32768;

std::wstring OwnPath() {
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&OwnPath), &self))
        return {};
    std::vector<wchar_t> buffer(kPathChars);
    const DWORD n = ::GetModuleFileNameW(self, buffer.data(), kPathChars);
    if (n == 0 || n >= kPathChars) return {};
    return std::wstring(buffer.data(), n);
}

HRESULT Register() {
    const std::wstring self = OwnPath();
    const std::wstring::size_type slash = self.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return E_FAIL;
    const std::wstring recordPath = self.substr(0, slash + 1) + kRecordFile;
    bool ok = false;
    const std::string selfUtf8 = platform::Utf16ToUtf8(std::u16string(self.begin(), self.end()),
                                                       platform::Unmappable::Fail, &ok);
    if (!ok) return E_FAIL;
    const std::string record =
        "registered " + selfUtf8 + " pid " + std::to_string(::GetCurrentProcessId()) + "\n";
    // Opened for appending only, so each record lands whole at the end.
    platform::UniqueHandle file(::CreateFileW(recordPath.c_str(), FILE_APPEND_DATA,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return E_FAIL;
    DWORD written = 0;
    if (!::WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr) ||
        written != record.size())
        return E_FAIL;
    return S_OK;
}

}  // namespace

// Exported undecorated (--kill-at), as the caller looks it up by name.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
    // No exception may leave through the C caller.
    try {
        return Register();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}
