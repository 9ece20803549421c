// Helpers for the Windows tests of the client stand-ins and the launcher:
// text, scratch folders, started programs and bounded waits.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "calls_file.h"
#include "platform/pipe.h"
#include "platform/text.h"
#include "platform/unique_handle.h"

namespace client_win {

namespace fs = std::filesystem;

constexpr const char* kPipe = "VOVAZU_tavlin";

inline std::string U8(const std::wstring& wide) { return platform::Utf16ToUtf8(std::u16string(wide.begin(), wide.end())); }

inline std::wstring W(const std::string& utf8) {
    const std::u16string w = platform::Utf8ToUtf16(utf8);
    return std::wstring(w.begin(), w.end());
}

// The folder the programs under test are built into: the test's own.
inline fs::path BuildFolder() {
    std::vector<wchar_t> buf(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    return fs::path(std::wstring(buf.data(), n)).parent_path();
}

inline std::string ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class F>
inline bool WaitUntil(F done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A fresh folder with a Chinese name (paths must not go through a code
// page), removed at the end. Wine hands out process IDs again at once, so
// the name also holds the time.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = fs::temp_directory_path() / (L"tavlin-client-安装-" + std::to_wstring(::GetCurrentProcessId()) +
                                                 L"-" + std::to_wstring(::GetTickCount64()) + L"-" +
                                                 std::to_wstring(++counter));
            if (fs::create_directory(path_)) return;
        }
        throw std::runtime_error("cannot make a fresh scratch folder");
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A started program, terminated and waited for when it goes out of scope.
class Started {
public:
    // `tail` is the command line after the quoted program path, as is.
    bool Start(const fs::path& program, const std::wstring& tail) {
        std::wstring commandLine = L"\"" + program.wstring() + L"\"";
        if (!tail.empty()) commandLine += L" " + tail;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              program.parent_path().c_str(), &si, &pi))
            return false;
        ::CloseHandle(pi.hThread);
        process_.reset(pi.hProcess);
        pid_ = pi.dwProcessId;
        return true;
    }
    ~Started() { Kill(); }
    Started() = default;
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    DWORD pid() const { return pid_; }
    bool Running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // True once the process has ended, within `timeoutMs`.
    bool Ended(DWORD timeoutMs) const {
        return !process_ || ::WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    // The exit code once the process has ended within `timeoutMs`.
    std::optional<DWORD> ExitCode(DWORD timeoutMs) const {
        DWORD code = 0;
        if (!Ended(timeoutMs) || !process_ || !::GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
        return code;
    }
    void Kill() {
        if (!process_) return;
        ::TerminateProcess(process_.get(), 9);
        ::WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }

private:
    platform::UniqueHandle process_;
    DWORD pid_ = 0;
};

// Sends one message the way the launcher does: write, then wait for it to
// be taken.
inline bool Send(const std::string& message) {
    platform::PipeClient client;
    return client.Open(kPipe) && client.Write(message.data(), message.size()) && client.Finish(5000);
}

// The records of the stand-in client's "tavlin.calls" in `folder`.
inline std::vector<tavlin_client::CallRecord> ReadRecords(const fs::path& folder, bool* ok = nullptr) {
    std::vector<tavlin_client::CallRecord> r;
    const bool parsed = tavlin_client::ParseCalls(ReadBytes(folder / L"tavlin.calls"), r);
    if (ok) *ok = parsed;
    return r;
}

}  // namespace client_win
