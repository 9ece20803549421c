#include "JournalFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "../JournalFormat.h"
#include "unpack/Printable.h"

namespace tavlin::unpack {

namespace {

constexpr int kOpenAttempts = 8;

// The folder holding `path` (relative to the root), walked without following
// links and without creating anything.
platform::UniqueFd OpenParent(int rootFd, const std::vector<std::string>& parts) {
    platform::UniqueFd current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; current && i + 1 < parts.size(); ++i) {
        current.reset(::openat(current.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current;
}

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buffer[65536];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

bool LockWithin(int fd, int waitMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void RollForward(int rootFd, const JournalContent& content, Recovery& r) {
    for (const StagedPair& pair : content.files) {
        const std::vector<std::string> staged = SplitJournalPath(pair.staged);
        const std::vector<std::string> target = SplitJournalPath(pair.target);
        const platform::UniqueFd parent = OpenParent(rootFd, target);
        if (!parent) {
            // No real folder there (gone, a file or a link now): no staged
            // file can wait in it either.
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) continue;
            r.problems.push_back("cannot open the folder of \"" + Printable(pair.target) + "\": " +
                                 std::strerror(errno));
            continue;
        }
        struct stat st{};
        if (::fstatat(parent.get(), staged.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // moved in already
        if (::renameat(parent.get(), staged.back().c_str(), parent.get(), target.back().c_str()) != 0) {
            r.problems.push_back("cannot replace \"" + Printable(pair.target) + "\": " + std::strerror(errno));
            continue;
        }
        ++r.files;
    }
    ::syncfs(rootFd);
}

void RollBackStaging(int rootFd, const JournalContent& content, Recovery& r) {
    for (const StagedPair& pair : content.files) {
        const std::vector<std::string> staged = SplitJournalPath(pair.staged);
        const platform::UniqueFd parent = OpenParent(rootFd, staged);
        if (parent && ::unlinkat(parent.get(), staged.back().c_str(), 0) == 0) ++r.files;
    }
    // Deepest first: a folder is removed only once what staging made inside
    // it is gone, and only when empty.
    for (auto it = content.folders.rbegin(); it != content.folders.rend(); ++it) {
        const std::vector<std::string> parts = SplitJournalPath(*it);
        const platform::UniqueFd parent = OpenParent(rootFd, parts);
        if (parent && ::unlinkat(parent.get(), parts.back().c_str(), AT_REMOVEDIR) == 0) ++r.folders;
    }
}

Recovery FinishJournal(int rootFd, const std::string& text) {
    Recovery r;
    r.found = true;
    const JournalContent content = ParseJournal(text);
    r.rolledForward = content.committed;
    if (content.committed) RollForward(rootFd, content, r);
    else RollBackStaging(rootFd, content, r);
    return r;
}

}  // namespace

bool Journal::Open(int rootFd, int lockWaitMs, Recovery& recovered, std::string& error) {
    rootFd_ = rootFd;
    recovered = {};
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        fd_.reset(::openat(rootFd, kJournalName, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd_) {
            error = std::string("cannot create the journal: ") + std::strerror(errno);
            return false;
        }
        if (!LockWithin(fd_.get(), lockWaitMs)) {
            error = "another installation is still running in this folder";
            blocked_ = true;
            fd_.reset();
            return false;
        }
        struct stat st{};
        if (::fstat(fd_.get(), &st) != 0) {
            error = std::string("cannot read the journal: ") + std::strerror(errno);
            fd_.reset();
            return false;
        }
        // The run we waited for has finished and removed it: start anew.
        if (st.st_nlink == 0) continue;
        if (st.st_size > 0) {
            std::string text;
            if (!ReadAll(fd_.get(), text)) {
                error = std::string("cannot read the journal: ") + std::strerror(errno);
                fd_.reset();
                return false;
            }
            recovered = FinishJournal(rootFd, text);
            // A commit that still cannot be finished stays for the next run:
            // dropping it would leave a mix of old and new files.
            if (recovered.rolledForward && !recovered.problems.empty()) {
                error = "an earlier installation could not be finished: " + recovered.problems.front();
                blocked_ = true;
                fd_.reset();
                return false;
            }
            if (::ftruncate(fd_.get(), 0) != 0 || ::lseek(fd_.get(), 0, SEEK_SET) != 0) {
                error = std::string("cannot reset the journal: ") + std::strerror(errno);
                fd_.reset();
                return false;
            }
        }
        size_ = 0;
        if (Append(std::string(kJournalHeader) + "\n", error)) return true;
        // Nothing was staged under it: a journal that cannot be written (a
        // full disk) must not stay behind.
        Finish();
        return false;
    }
    error = "the journal keeps changing under this run";
    fd_.reset();
    return false;
}

bool Journal::Append(const std::string& text, std::string& error) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot write the journal: ") + std::strerror(errno);
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
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
    const off_t before = size_;
    bool ok = Append(CommitRecord(fileCount), error);
    if (ok && ::fsync(fd_.get()) != 0) {
        error = std::string("cannot make the journal durable: ") + std::strerror(errno);
        ok = false;
    }
    // A commit record that may be cut or not durable must not survive a
    // failure: a later run would roll forward what this one undoes.
    if (!ok && ::ftruncate(fd_.get(), before) == 0) size_ = before;
    return ok;
}

Recovery Journal::RollBack() {
    Recovery r;
    std::string text;
    if (fd_ && ReadAll(fd_.get(), text)) {
        JournalContent content = ParseJournal(text);
        content.committed = false;
        r.found = true;
        ::tavlin::unpack::RollBackStaging(rootFd_, content, r);
    }
    Finish();
    return r;
}

void Journal::Finish() {
    if (!fd_) return;
    ::unlinkat(rootFd_, kJournalName, 0);
    fd_.reset();
}

Journal::~Journal() = default;

Recovery RecoverInterruptedAt(int rootFd, int lockWaitMs) {
    platform::UniqueFd fd(::openat(rootFd, kJournalName, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return {};
    if (!LockWithin(fd.get(), lockWaitMs)) {
        Recovery busy;
        busy.found = true;
        busy.problems.push_back("another installation is still running in this folder");
        return busy;
    }
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0 || st.st_nlink == 0) return {};
    std::string text;
    if (!ReadAll(fd.get(), text)) {
        Recovery r;
        r.found = true;
        r.problems.push_back(std::string("cannot read the journal: ") + std::strerror(errno));
        return r;
    }
    Recovery r = FinishJournal(rootFd, text);
    // A commit that cannot be finished yet is kept for the next run.
    if (!(r.rolledForward && !r.problems.empty())) ::unlinkat(rootFd, kJournalName, 0);
    return r;
}

Recovery RecoverInterrupted(const std::string& rootDir, int lockWaitMs) {
    const platform::UniqueFd root(::open(rootDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) return {};
    return RecoverInterruptedAt(root.get(), lockWaitMs);
}

}  // namespace tavlin::unpack
