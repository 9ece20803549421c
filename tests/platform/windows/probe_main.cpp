// A small program the platform tests start to see what a started process
// receives. It writes to the file named by PROBE_OUT, one item per line,
// each as "<key> <length>:<bytes>" (UTF-8): pid, cwd, exe (its own module
// path), cmdtail (its command line after the program name, exactly), then
// one "arg" per argument as CommandLineToArgvW splits the command line and
// one "crtarg" per argument as the C runtime does.
// With PROBE_LOCK set it then takes that named mutex, writes PROBE_OUT +
// ".locked" and sleeps until killed. With PROBE_PIPE set it hands its
// command line after the name, with a NUL after it, to that pipe as the
// launcher does, and exits 0 when the server took it, 1 otherwise. With PROBE_SLEEP set it sleeps until
// killed (at most 5 minutes).
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/module.h"
#include "platform/named_mutex.h"
#include "platform/pipe.h"
#include "platform/text.h"

namespace {

std::string U8(const wchar_t* w) {
    std::wstring s(w);
    return platform::Utf16ToUtf8(std::u16string(s.begin(), s.end()));
}

std::string Item(const std::string& key, const std::string& value) {
    return key + " " + std::to_string(value.size()) + ":" + value + "\n";
}

std::wstring Env(const wchar_t* name) {
    wchar_t buf[32768];
    DWORD n = ::GetEnvironmentVariableW(name, buf, 32768);
    return n > 0 && n < 32768 ? std::wstring(buf, n) : std::wstring();
}

bool WriteFile(const std::wstring& path, const std::string& data) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

// The command line after the program name, as the system passes it: the
// name ends at its closing quote, or at the first space or tab.
std::wstring CommandTail(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

}  // namespace

int wmain(int crtArgc, wchar_t** crtArgv) {
    std::wstring out = Env(L"PROBE_OUT");
    if (out.empty()) return 2;
    std::string exe;
    platform::GetModulePath(exe);
    const wchar_t* line = ::GetCommandLineW();
    std::string text = Item("pid", std::to_string(::GetCurrentProcessId())) + Item("cwd", platform::GetCurrentDir()) +
                       Item("exe", exe) + Item("cmdtail", U8(CommandTail(line).c_str()));
    int argc = 0;
    if (wchar_t** argv = ::CommandLineToArgvW(line, &argc)) {
        for (int i = 1; i < argc; ++i) text += Item("arg", U8(argv[i]));
        ::LocalFree(argv);
    }
    for (int i = 1; i < crtArgc; ++i) text += Item("crtarg", U8(crtArgv[i]));
    // Written under a temporary name and renamed, so a test never reads half.
    std::wstring tmp = out + L".tmp";
    if (!WriteFile(tmp, text) || !::MoveFileExW(tmp.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING)) return 3;

    std::wstring lockName = Env(L"PROBE_LOCK");
    if (!lockName.empty()) {
        platform::NamedMutex mutex;
        if (!mutex.Create(U8(lockName.c_str())) || !mutex.Acquire(0)) return 4;
        if (!WriteFile(out + L".locked", "1")) return 5;
        ::Sleep(300000);
        return 0;
    }
    std::wstring pipeName = Env(L"PROBE_PIPE");
    if (!pipeName.empty()) {
        std::string message = U8(CommandTail(line).c_str());
        message.push_back('\0');
        platform::PipeClient client;
        bool ok = client.Open(U8(pipeName.c_str())) && client.Write(message.data(), message.size()) &&
                  client.Finish(10000);
        return ok ? 0 : 1;
    }
    if (!Env(L"PROBE_SLEEP").empty()) ::Sleep(300000);
    return 0;
}
