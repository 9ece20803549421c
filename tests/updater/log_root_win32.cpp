#include <windows.h>

#include <string>

#include "log_root.h"
#include "platform/text.h"

namespace updater_test {

void UseLogRoot(const std::string&) {}

// %LOCALAPPDATA%\vrek\logs\Updater\<program without .exe>, read from the
// environment and the module's name rather than through the code under test.
std::string ProgramLogFolder(const std::string&) {
    wchar_t local[MAX_PATH + 1] = {};
    wchar_t module[MAX_PATH + 1] = {};
    const DWORD localLength = ::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH + 1);
    const DWORD moduleLength = ::GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
    if (localLength == 0 || localLength > MAX_PATH || moduleLength == 0 || moduleLength > MAX_PATH) return {};
    std::wstring program(module, moduleLength);
    program = program.substr(program.find_last_of(L"\\/") + 1);
    if (program.size() > 4 && program.compare(program.size() - 4, 4, L".exe") == 0) program.resize(program.size() - 4);
    const std::wstring folder = std::wstring(local) + L"\\vrek\\logs\\Updater\\" + program;
    return platform::Utf16ToUtf8(std::u16string(folder.begin(), folder.end()));
}

}  // namespace updater_test
