#include "platform/process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cerrno>

#include "token_user.h"
#include "wide.h"

namespace platform {

namespace {

constexpr DWORD kHandleRights = PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

std::string FileName(std::wstring_view path) {
    size_t sep = path.find_last_of(L"\\/");
    return Narrow(sep == std::wstring_view::npos ? path : path.substr(sep + 1));
}

// A process that has ended but is still held open by someone is no longer
// running.
bool Running(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

bool SameName(const std::string& a, const std::string& b) {
    std::wstring wa = Wide(a), wb = Wide(b);
    // File names on Windows ignore case.
    return ::CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                                  static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool ForEachProcess(const std::function<bool(const ProcessEntry&)>& visit) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    if (!::Process32FirstW(snapshot.get(), &e)) return ::GetLastError() == ERROR_NO_MORE_FILES;

    std::vector<ProcessEntry> mine;
    do {
        if (e.th32ProcessID == 0) continue;  // the idle process
        UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, e.th32ProcessID));
        if (!process || !Running(process.get()) || !IsOurProcess(process.get())) continue;
        ProcessEntry entry;
        entry.pid = static_cast<pid_t>(e.th32ProcessID);
        entry.exeName = FileName(e.szExeFile);
        mine.push_back(std::move(entry));
    } while (::Process32NextW(snapshot.get(), &e));
    snapshot.reset();

    std::sort(mine.begin(), mine.end(), [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    for (const ProcessEntry& entry : mine)
        if (!visit(entry)) break;
    return true;
}

bool SnapshotProcesses(std::vector<ProcessEntry>& out) {
    std::vector<ProcessEntry> list;
    bool ok = ForEachProcess([&](const ProcessEntry& e) {
        list.push_back(e);
        return true;
    });
    out = std::move(list);
    return ok;
}

ProcessHandle ProcessHandle::Open(pid_t pid) {
    ProcessHandle h;
    if (pid <= 0) {
        errno = ESRCH;
        return h;
    }
    h.fd_.reset(::OpenProcess(kHandleRights, FALSE, static_cast<DWORD>(pid)));
    if (!h.fd_) {
        errno = ::GetLastError() == ERROR_ACCESS_DENIED ? EPERM : ESRCH;
        return h;
    }
    h.pid_ = pid;
    return h;
}

ProcessHandle ProcessHandle::OpenEntry(const ProcessEntry& entry) {
    ProcessHandle h = Open(entry.pid);
    if (!h.valid()) return h;
    // The handle keeps the ID from being reused, so what is checked now is
    // what Terminate will reach.
    std::wstring image(MAX_PATH, L'\0');
    bool matches = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(image.size());
        if (::QueryFullProcessImageNameW(h.fd_.get(), 0, image.data(), &size)) {
            image.resize(size);
            matches = SameName(FileName(image), entry.exeName);
            break;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        image.resize(image.size() * 4);
    }
    if (!matches || !Running(h.fd_.get()) || !IsOurProcess(h.fd_.get())) {
        errno = ESRCH;
        return ProcessHandle();
    }
    return h;
}

bool ProcessHandle::Terminate() {
    // Exit code 9 tells whoever waits for the process that it was stopped.
    return fd_ && ::TerminateProcess(fd_.get(), 9) != FALSE;
}

bool ProcessHandle::Alive() const { return fd_ && Running(fd_.get()); }

bool ProcessHandle::WaitExit(int timeoutMs) const {
    if (!fd_) return true;
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(fd_.get(), wait) == WAIT_OBJECT_0;
}

}  // namespace platform
