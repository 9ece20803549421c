#include "JournalFile.h"

#include <chrono>
#include <thread>

#include "../JournalFormat.h"
#include "../Utf.h"
#include "WidePath.h"
#include "unpack/Printable.h"
#include "unpack/StagedName.h"

namespace tavlin::unpack {

namespace {

// A journal being removed by the run before refuses opens for a moment.
constexpr int kPendingDeleteWaitMs = 2000;

std::wstring JournalPath(const std::wstring& root) { return Below(root, {kJournalName}); }

// Opens the journal without sharing, waiting while another run holds it.
// `create`: make it when missing. Empty when it cannot be had; `busy` then
// says whether another run still held it at the deadline.
platform::UniqueHandle OpenHeld(const std::wstring& root, bool create, int waitMs, bool& busy, DWORD& error) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::wstring path = JournalPath(root);
    busy = false;
    for (;;) {
        platform::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                                  create ? OPEN_ALWAYS : OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file) return file;
        error = ::GetLastError();
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        const bool pending = error == ERROR_ACCESS_DENIED && waited < kPendingDeleteWaitMs;
        if ((!held && !pending) || waited >= waitMs) {
            busy = held;
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ReadAll(HANDLE file, std::string& out) {
    out.clear();
    char buffer[65536];
    uint64_t at = 0;
    for (;;) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xffffffffu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &n, &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) return true;
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, n);
        at += n;
    }
}

// Deleted as soon as the handle closes, which happens right after: nobody
// can open it in between, as it is not shared.
void DeleteHeld(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

bool Truncate(HANDLE file, uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

void RollForward(const std::wstring& root, const JournalContent& content, Recovery& r) {
    for (const StagedPair& pair : content.files) {
        const std::vector<std::string> staged = SplitJournalPath(pair.staged);
        const std::vector<std::string> target = SplitJournalPath(pair.target);
        std::string why;
        // No real folder there: no staged file can wait in it either.
        if (!RealFolders(root, target, target.size() - 1, why)) continue;
        const std::wstring stagedPath = Below(root, staged);
        if (::GetFileAttributesW(stagedPath.c_str()) == INVALID_FILE_ATTRIBUTES) continue;  // moved in already
        if (!ReplaceTarget(stagedPath, Below(root, target), why)) {
            r.problems.push_back("cannot replace \"" + Printable(pair.target) + "\": " + why);
            continue;
        }
        ++r.files;
    }
}

void RollBackStaging(const std::wstring& root, const JournalContent& content, Recovery& r) {
    for (const StagedPair& pair : content.files) {
        const std::vector<std::string> staged = SplitJournalPath(pair.staged);
        std::string why;
        if (!RealFolders(root, staged, staged.size() - 1, why)) continue;
        const std::wstring path = Below(root, staged);
        if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && RemoveFile(path)) ++r.files;
    }
    // Deepest first, and only when empty: what staging made inside is gone.
    for (auto it = content.folders.rbegin(); it != content.folders.rend(); ++it) {
        const std::vector<std::string> parts = SplitJournalPath(*it);
        std::string why;
        if (!RealFolders(root, parts, parts.size() - 1, why)) continue;
        const std::wstring path = Below(root, parts);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (::RemoveDirectoryW(path.c_str())) ++r.folders;
    }
}

// A running program cannot be replaced, but it can be renamed: ReplaceFileW
// moves it aside under a hidden staged name (its backup) and puts its
// replacement in, and the old copy goes as soon as nothing runs it
// (RemoveOldCopies, or at the next reboot).
bool MoveAside(const std::wstring& staged, const std::wstring& target) {
    const std::size_t slash = target.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    const std::wstring name = target.substr(slash + 1);
    const std::wstring old =
        target.substr(0, slash + 1) + Widen(StagedNameFor(ToUtf8(std::u16string(name.begin(), name.end()))));
    if (!::ReplaceFileW(target.c_str(), staged.c_str(), old.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr)) {
        // When only the replacement failed to move in, the old file is
        // already the backup: it goes back.
        if (::GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
            ::MoveFileExW(old.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
        return false;
    }
    ::SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_HIDDEN);
    if (!::DeleteFileW(old.c_str())) ::MoveFileExW(old.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

// Deletes the old copies MoveAside left in the root that nothing runs any
// more. A package cannot name such a file, and staged files are not hidden.
void RemoveOldCopies(const std::wstring& root) {
    WIN32_FIND_DATAW found{};
    const std::wstring folder = root.back() == L'\\' ? root : root + L"\\";
    const HANDLE search = ::FindFirstFileW((folder + L".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const DWORD attributes = found.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & FILE_ATTRIBUTE_HIDDEN)) continue;
        const std::wstring name = found.cFileName;
        if (!LooksStaged(ToUtf8(std::u16string(name.begin(), name.end())))) continue;
        ::DeleteFileW((folder + name).c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

Recovery FinishJournal(const std::wstring& root, const std::string& text) {
    Recovery r;
    r.found = true;
    const JournalContent content = ParseJournal(text);
    r.rolledForward = content.committed;
    if (content.committed) RollForward(root, content, r);
    else RollBackStaging(root, content, r);
    return r;
}

}  // namespace

bool ReplaceTarget(const std::wstring& staged, const std::wstring& target, std::string& why) {
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(target.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (::MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = ::GetLastError();
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && attributes != INVALID_FILE_ATTRIBUTES &&
        MoveAside(staged, target))
        return true;
    // Left as it was found.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(target.c_str(), attributes);
    why = ErrorText(error);
    return false;
}

bool Journal::Open(const std::wstring& root, int lockWaitMs, Recovery& recovered, std::string& error) {
    root_ = root;
    recovered = {};
    bool busy = false;
    DWORD code = 0;
    file_ = OpenHeld(root, true, lockWaitMs, busy, code);
    if (!file_) {
        blocked_ = busy;
        error = busy ? "another installation is still running in this folder"
                     : "cannot create the journal: " + ErrorText(code);
        return false;
    }
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(file_.get(), &length)) {
        error = "cannot read the journal: " + ErrorText(::GetLastError());
        file_.reset();
        return false;
    }
    if (length.QuadPart > 0) {
        std::string text;
        if (!ReadAll(file_.get(), text)) {
            error = "cannot read the journal: " + ErrorText(::GetLastError());
            file_.reset();
            return false;
        }
        recovered = FinishJournal(root, text);
        // A commit that still cannot be finished stays for the next run:
        // dropping it would leave a mix of old and new files.
        if (recovered.rolledForward && !recovered.problems.empty()) {
            error = "an earlier installation could not be finished: " + recovered.problems.front();
            blocked_ = true;
            file_.reset();
            return false;
        }
        if (!Truncate(file_.get(), 0)) {
            error = "cannot reset the journal: " + ErrorText(::GetLastError());
            file_.reset();
            return false;
        }
    }
    RemoveOldCopies(root);
    size_ = 0;
    if (Append(std::string(kJournalHeader) + "\n", error)) return true;
    // Nothing was staged under it: a journal that cannot be written (a full
    // disk) must not stay behind.
    Finish();
    return false;
}

bool Journal::Append(const std::string& text, std::string& error) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(size_ & 0xffffffffu);
        where.OffsetHigh = static_cast<DWORD>(size_ >> 32);
        DWORD n = 0;
        if (!::WriteFile(file_.get(), p, static_cast<DWORD>(left), &n, &where) || n == 0) {
            error = "cannot write the journal: " + ErrorText(::GetLastError());
            return false;
        }
        p += n;
        left -= n;
        size_ += n;
    }
    return true;
}

bool Journal::AddFolder(const std::string& folder, std::string& error) {
    return Append(FolderRecord(folder), error);
}

bool Journal::AddFiles(const std::vector<StagedPair>& files, std::string& error) {
    return Append(FilesRecord(files), error);
}

bool Journal::Commit(std::size_t fileCount, std::string& error) {
    const uint64_t before = size_;
    bool ok = Append(CommitRecord(fileCount), error);
    if (ok && !::FlushFileBuffers(file_.get())) {
        error = "cannot make the journal durable: " + ErrorText(::GetLastError());
        ok = false;
    }
    // A commit record that may be cut or not durable must not survive a
    // failure: a later run would roll forward what this one undoes.
    if (!ok && Truncate(file_.get(), before)) size_ = before;
    return ok;
}

Recovery Journal::RollBack() {
    Recovery r;
    std::string text;
    if (file_ && ReadAll(file_.get(), text)) {
        JournalContent content = ParseJournal(text);
        content.committed = false;
        r.found = true;
        RollBackStaging(root_, content, r);
    }
    Finish();
    return r;
}

void Journal::Finish() {
    if (!file_) return;
    DeleteHeld(file_.get());
    file_.reset();
}

Journal::~Journal() = default;

Recovery RecoverInterrupted(const std::string& rootDir, int lockWaitMs) {
    std::wstring root;
    if (!LongAbsolutePath(rootDir, root)) return {};
    bool busy = false;
    DWORD code = 0;
    platform::UniqueHandle file = OpenHeld(root, false, lockWaitMs, busy, code);
    if (!file) {
        if (!busy) {
            // No run is at work in the root.
            RemoveOldCopies(root);
            return {};
        }
        Recovery r;
        r.found = true;
        r.problems.push_back("another installation is still running in this folder");
        return r;
    }
    std::string text;
    if (!ReadAll(file.get(), text)) {
        Recovery r;
        r.found = true;
        r.problems.push_back("cannot read the journal: " + ErrorText(::GetLastError()));
        return r;
    }
    Recovery r = FinishJournal(root, text);
    // A commit that cannot be finished yet is kept for the next run.
    if (!(r.rolledForward && !r.problems.empty())) DeleteHeld(file.get());
    return r;
}

}  // namespace tavlin::unpack
