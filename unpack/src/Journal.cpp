#include "unpack/Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "unpack/Printable.h"

namespace tavlin::unpack {

namespace {

constexpr const char* kHeader = "tavlin-journal 1";
constexpr int kOpenAttempts = 8;
// Staged names always carry this; recovery touches nothing else.
constexpr const char* kStagedMarker = ".tavlin-";

bool MustEscape(unsigned char c) { return c <= 0x20 || c == '%' || c == 0x7f; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Only plain names below the root: a journal is never trusted to climb out.
bool SafePath(const std::vector<std::string>& parts) {
    if (parts.empty()) return false;
    for (const std::string& p : parts) {
        if (p.empty() || p == "." || p == ".." || p.find('\0') != std::string::npos) return false;
    }
    return true;
}

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
        const std::vector<std::string> staged = SplitPath(pair.staged);
        const std::vector<std::string> target = SplitPath(pair.target);
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
        const std::vector<std::string> staged = SplitPath(pair.staged);
        const platform::UniqueFd parent = OpenParent(rootFd, staged);
        if (parent && ::unlinkat(parent.get(), staged.back().c_str(), 0) == 0) ++r.files;
    }
    // Deepest first: a folder is removed only once what staging made inside
    // it is gone, and only when empty.
    for (auto it = content.folders.rbegin(); it != content.folders.rend(); ++it) {
        const std::vector<std::string> parts = SplitPath(*it);
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

std::string EncodeJournalPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (MustEscape(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool DecodeJournalPath(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

JournalContent ParseJournal(const std::string& text) {
    JournalContent content;
    std::size_t start = 0;
    bool first = true;
    // A line without its newline was cut by a kill and does not count.
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start);
        if (first) {
            if (line != kHeader) return {};
            first = false;
            continue;
        }
        if (line.size() < 2 || line[1] != ' ') return content;
        const std::string rest = line.substr(2);
        if (line[0] == 'D') {
            std::string folder;
            if (!DecodeJournalPath(rest, folder) || !SafePath(SplitPath(folder))) return content;
            content.folders.push_back(std::move(folder));
        } else if (line[0] == 'F') {
            const std::size_t space = rest.find(' ');
            StagedPair pair;
            if (space == std::string::npos || !DecodeJournalPath(rest.substr(0, space), pair.staged) ||
                !DecodeJournalPath(rest.substr(space + 1), pair.target))
                return content;
            const std::vector<std::string> staged = SplitPath(pair.staged);
            const std::vector<std::string> target = SplitPath(pair.target);
            // A staged file always lies beside its target.
            if (!SafePath(staged) || !SafePath(target) || staged.size() != target.size() ||
                !std::equal(staged.begin(), staged.end() - 1, target.begin()) ||
                staged.back().find(kStagedMarker) == std::string::npos)
                return content;
            content.files.push_back(std::move(pair));
        } else if (line[0] == 'C') {
            content.committed = rest == std::to_string(content.files.size());
            return content;
        } else {
            return content;
        }
    }
    return content;
}

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
        if (Append(std::string(kHeader) + "\n", error)) return true;
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
    return Append("D " + EncodeJournalPath(folder) + "\n", error);
}

bool Journal::AddFiles(const std::vector<StagedPair>& files, std::string& error) {
    std::string text;
    for (const StagedPair& f : files) text += "F " + EncodeJournalPath(f.staged) + " " + EncodeJournalPath(f.target) + "\n";
    return Append(text, error);
}

bool Journal::Commit(std::size_t fileCount, std::string& error) {
    const off_t before = size_;
    bool ok = Append("C " + std::to_string(fileCount) + "\n", error);
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
