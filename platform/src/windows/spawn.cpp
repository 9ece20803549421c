#include "platform/spawn.h"

#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <vector>

#include "platform/unique_handle.h"
#include "wide.h"

namespace platform {

namespace {

int ErrnoFromError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            return ENOEXEC;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EINVAL;
    }
}

pid_t Fail(DWORD error) {
    errno = ErrnoFromError(error);
    return 0;
}

// The full path of `file` against the current directory.
std::wstring FullPath(const std::wstring& file) {
    DWORD need = ::GetFullPathNameW(file.c_str(), 0, nullptr, nullptr);
    if (need == 0) return {};
    std::wstring out(need, L'\0');
    DWORD n = ::GetFullPathNameW(file.c_str(), need, out.data(), nullptr);
    if (n == 0 || n >= need) return {};
    out.resize(n);
    return out;
}

bool HasFolder(const std::string& name) { return name.find_first_of("\\/:") != std::string::npos; }

// `name` in the folders of PATH only (not the program's folder or the
// current one, which CreateProcessW would search first).
std::wstring SearchPathVariable(const std::wstring& name) {
    DWORD need = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (need == 0) return {};
    std::wstring path(need, L'\0');
    DWORD n = ::GetEnvironmentVariableW(L"PATH", path.data(), need);
    if (n == 0 || n >= need) return {};
    path.resize(n);
    std::wstring found(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD len = ::SearchPathW(path.c_str(), name.c_str(), L".exe", static_cast<DWORD>(found.size()),
                                  found.data(), nullptr);
        if (len == 0) return {};
        if (len < found.size()) {
            found.resize(len);
            return found;
        }
        found.resize(len + 1);
    }
    return {};
}

}  // namespace

pid_t ShellOpenProgram(const std::string& file, const std::string& parameters, const std::string& workDir) {
    if (file.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    // Resolved here against our current directory, so the shell never looks
    // the name up anywhere else.
    std::wstring path = FullPath(Wide(file));
    if (path.empty()) return Fail(::GetLastError());
    std::wstring params = Wide(parameters);
    std::wstring dir = Wide(workDir);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.lpParameters = params.empty() ? nullptr : params.c_str();
    info.lpDirectory = dir.empty() ? nullptr : dir.c_str();
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) return Fail(::GetLastError());
    UniqueHandle process(info.hProcess);
    // A document handed to a running program has no process of its own.
    if (!process) return Fail(ERROR_BAD_EXE_FORMAT);
    return static_cast<pid_t>(::GetProcessId(process.get()));
}

bool ShellOpenUrl(const std::string& url) {
    std::wstring target = Wide(url);
    HINSTANCE r = ::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(r) > 32;
}

pid_t StartDetachedFromPath(const std::string& name, const std::vector<std::string>& args) {
    if (name.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    std::wstring program = HasFolder(name) ? FullPath(Wide(name)) : SearchPathVariable(Wide(name));
    if (program.empty()) return Fail(ERROR_FILE_NOT_FOUND);

    std::string line = QuoteCommandLineArgument(Narrow(program));
    for (const std::string& arg : args) line += " " + QuoteCommandLineArgument(arg);
    std::wstring commandLine = Wide(line);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info))
        return Fail(::GetLastError());
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    return static_cast<pid_t>(info.dwProcessId);
}

}  // namespace platform
