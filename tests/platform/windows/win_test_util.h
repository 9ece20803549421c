// Small helpers for the platform tests of the Windows build: a scratch
// folder, files, bounded waits and the probe's report.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace win_test {

namespace fs = std::filesystem;

inline std::wstring W(const std::string& utf8) {
    std::u16string w = platform::Utf8ToUtf16(utf8);
    return std::wstring(w.begin(), w.end());
}

inline std::string U8(const std::wstring& wide) {
    return platform::Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

inline std::string U8(const fs::path& p) { return U8(p.wstring()); }

// A fresh folder, removed with everything in it at the end.
class TempDir {
public:
    // Wine hands out process IDs again at once, and a folder a killed probe
    // ran from may be left behind, so the name also holds the time and the
    // folder must be new.
    TempDir() {
        static int counter = 0;
        const fs::path base = fs::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = base / (L"tavlin-plat-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++counter));
            if (fs::create_directory(path_)) return;
        }
        throw std::runtime_error("cannot make a fresh temporary folder");
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::wstring& leaf) const { return path_ / leaf; }

private:
    fs::path path_;
};

inline std::string ReadFileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Polls `done` every 10 ms for up to `timeoutMs`.
template <class F>
bool WaitUntil(F done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Sets an environment variable for the programs this process starts, and
// removes it again at the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
        ::SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { ::SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* name_;
};

// What the probe wrote: items "<key> <length>:<bytes>\n"; "arg" repeats.
struct ProbeOutput {
    std::map<std::string, std::string> items;
    std::vector<std::string> args;     // as CommandLineToArgvW splits the command line
    std::vector<std::string> crtArgs;  // as the C runtime splits it
};

inline bool ReadProbe(const fs::path& path, ProbeOutput& out) {
    out = {};
    std::string text = ReadFileBytes(path);
    if (text.empty()) return false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t sp = text.find(' ', pos);
        size_t colon = text.find(':', sp);
        if (sp == std::string::npos || colon == std::string::npos) return false;
        std::string key = text.substr(pos, sp - pos);
        size_t len = std::stoul(text.substr(sp + 1, colon - sp - 1));
        if (colon + 1 + len > text.size()) return false;
        std::string value = text.substr(colon + 1, len);
        pos = colon + 1 + len + 1;
        if (key == "arg")
            out.args.push_back(value);
        else if (key == "crtarg")
            out.crtArgs.push_back(value);
        else
            out.items[key] = value;
    }
    return true;
}

// True under Wine, where a few Windows behaviours differ.
inline bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

// The probe is built beside the test program.
inline std::string ProbePath() {
    wchar_t buf[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameW(nullptr, buf, MAX_PATH * 4);
    std::wstring self(buf, n);
    return U8(self.substr(0, self.find_last_of(L"\\/") + 1) + L"platform_test_probe.exe");
}

}  // namespace win_test
