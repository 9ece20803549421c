#include "unpack/Unpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "../Plan.h"
#include "FolderWalker.h"
#include "JournalFile.h"
#include "platform/unique_fd.h"
#include "unpack/ArchiveFile.h"
#include "unpack/EntryMeta.h"
#include "unpack/EntryName.h"
#include "unpack/Printable.h"
#include "unpack/StagedFile.h"

namespace tavlin::unpack {

namespace {

// Below this much data a second thread costs more than it saves.
constexpr uint64_t kParallelBytes = 8u << 20;
// What the journal and a file's own metadata may take besides its data.
constexpr uint64_t kOverheadPerEntry = 256;
// Folders whose descriptors are kept open for the whole run; a package with
// more finds the rest with each thread's walker.
constexpr std::size_t kMaxKeptFolders = 512;
// A file that differs from its entry mostly does so near its start: the
// compare inflates this much first, so such a file costs little more than
// one of another size before it is staged.
constexpr std::size_t kFirstCompare = 4096;

// One file or link to stage, and what staging found out.
struct Task {
    const Planned* entry = nullptr;
    std::string staged;  // staged name, in the target's folder
    bool hasExisting = false;
    mode_t existingMode = 0;
    // What the existing file must match to be compared rather than replaced.
    mode_t existingPermissions = 0;  // with set-id and sticky bits
    uint64_t existingSize = 0;
    std::optional<int64_t> existingTime;  // whole seconds only
    bool unchanged = false;  // the existing file already is the entry
    struct stat compared{};  // the kept file as its compare found it
    bool program = false;  // one of the files that must be executable
    int dirFd = -1;        // the target's folder, when kept open for the run
    mode_t mode = 0;       // the mode the staged file got
};

// The target's folder: kept open, or found by the walker.
int FolderOf(const Task& task, FolderWalker& walker, std::string& why) {
    if (task.dirFd >= 0) return task.dirFd;
    const std::vector<std::string>& parts = task.entry->path.components;
    return walker.Open(parts, parts.size() - 1, &why);
}

mode_t ProcessUmask() {
    // Read rather than set-and-restore: umask() would race with other threads.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) != 0) continue;
        try {
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
        } catch (const std::exception&) {
            break;
        }
    }
    return 022;
}

// Whether the file at `offset` holds exactly `data`.
bool FileHolds(int fd, uint64_t offset, const char* data, std::size_t n, std::vector<char>& scratch) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, scratch.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return std::memcmp(scratch.data(), data, n) == 0;
}

// The mode a staged file of this entry gets; `program`: its data starts as
// a program's does.
mode_t StagedMode(const Task& task, bool program, mode_t umask) {
    const Planned& e = *task.entry;
    mode_t mode = FileModeFor(e.attributes, task.hasExisting ? &task.existingMode : nullptr, program, umask);
    // A program the installation needs is made executable when its data is
    // one, whatever mode the package lost on the way.
    if (task.program && program && !(mode & S_IXUSR)) mode |= S_IXUSR | ((mode & 0044) >> 2);
    return mode;
}

// Only a file that is the installation's alone, and still as planning saw
// it, may be kept: another name for it (a hard link from outside) or
// another owner could change it after the package is in, and a file put
// there since planning has a mode nobody checked.
bool Keepable(const struct stat& st, const Task& task) {
    const Planned& e = *task.entry;
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid() &&
           static_cast<uint64_t>(st.st_size) == e.size && (st.st_mode & 07777) == task.existingPermissions &&
           st.st_mtim.tv_nsec == 0 && st.st_mtim.tv_sec == e.times.modification;
}

// File capabilities are privileges as set-id bits are, and a package never
// gives them: a file that has some is replaced by one without.
bool HasCapabilities(int fd) { return ::fgetxattr(fd, "security.capability", nullptr, 0) >= 0; }

// Nothing wrote to the file, replaced it or changed its mode since `seen`:
// a writer can put the size and times back, not the change time.
bool Untouched(const struct stat& seen, const struct stat& now) {
    return seen.st_dev == now.st_dev && seen.st_ino == now.st_ino && seen.st_mode == now.st_mode &&
           seen.st_nlink == now.st_nlink && seen.st_uid == now.st_uid && seen.st_size == now.st_size &&
           seen.st_mtim.tv_sec == now.st_mtim.tv_sec && seen.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
           seen.st_ctim.tv_sec == now.st_ctim.tv_sec && seen.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
}

// A full package mostly repeats the files already installed. A target with
// the entry's size and time is compared with the entry's data as it is
// inflated (the data is still checked in full); when every byte and the
// mode match, nothing is staged and the target stays. True then.
bool AlreadyInstalled(unzFile uf, int dirFd, Task& task, std::vector<char>& buffer, std::vector<char>& scratch,
                      mode_t umask) {
    const Planned& e = *task.entry;
    if (!task.hasExisting || task.existingSize != e.size || task.existingTime != e.times.modification) return false;
    // Non-blocking: a FIFO put in its place must not hold the run.
    const platform::UniqueFd existing(
        ::openat(dirFd, e.path.components.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat before{};
    if (!existing || ::fstat(existing.get(), &before) != 0 || !Keepable(before, task) ||
        HasCapabilities(existing.get()))
        return false;
    uint64_t at = 0;
    bool first = true;
    bool program = false;
    std::string why;  // a damaged entry fails again when it is staged
    const bool same = ReadEntryData(uf, e, buffer, why, [&](const char* data, std::size_t n) {
        if (first) {
            program = LooksExecutable(data, n);
            first = false;
        }
        if (!FileHolds(existing.get(), at, data, n, scratch)) return false;
        at += n;
        return true;
    }, kFirstCompare);
    struct stat after{};
    if (!same || ::fstat(existing.get(), &after) != 0 || !Untouched(before, after)) return false;
    task.mode = StagedMode(task, program, umask);
    if (task.mode != (before.st_mode & 07777)) return false;
    task.compared = before;
    task.unchanged = true;
    return true;
}

// `compare`: a target that already holds the entry may stay.
bool StageFile(unzFile uf, FolderWalker& walker, Task& task, std::vector<char>& buffer, std::vector<char>& scratch,
               mode_t umask, bool compare, std::string& why) {
    const Planned& e = *task.entry;
    const int dirFd = FolderOf(task, walker, why);
    if (dirFd < 0) return false;
    if (compare && AlreadyInstalled(uf, dirFd, task, buffer, scratch, umask)) return true;
    StagedFile out(dirFd, task.staged);
    if (!out.ok()) {
        why = out.error();
        return false;
    }
    bool first = true;
    bool program = false;
    const bool complete = ReadEntryData(uf, e, buffer, why, [&](const char* data, std::size_t n) {
        if (first) {
            program = LooksExecutable(data, n);
            first = false;
        }
        if (out.Write(data, n)) return true;
        why = out.error();
        return false;
    });
    if (!complete) return false;
    task.mode = StagedMode(task, program, umask);
    // Linux keeps no settable creation time: only access and modification
    // times are given to the file.
    if (!out.Finish(task.mode, e.times.access, e.times.modification)) {
        why = out.error();
        return false;
    }
    return true;
}

bool StageLink(unzFile uf, FolderWalker& walker, const Task& task, std::vector<char>& buffer, std::string& why) {
    const Planned& e = *task.entry;
    std::string target;
    const bool complete = ReadEntryData(uf, e, buffer, why, [&](const char* data, std::size_t n) {
        target.append(data, n);
        return target.size() <= kMaxLinkTarget;
    });
    if (!complete) return false;
    const std::vector<std::string>& parts = e.path.components;
    const std::vector<std::string> folder(parts.begin(), parts.end() - 1);
    if (!LinkTargetInsideRoot(folder, target)) {
        why = "link target \"" + Printable(target) + "\" leads outside the folder";
        return false;
    }
    const int dirFd = FolderOf(task, walker, why);
    if (dirFd < 0) return false;
    return StageSymlink(dirFd, task.staged, target, why);
}

// Stages the given files with its own archive handle and folder walker,
// stopping as soon as any thread has failed.
void StageFiles(unzFile uf, int rootFd, const std::vector<Task*>& tasks, mode_t umask, FailureSlot& failure) {
    FolderWalker walker(rootFd);
    std::vector<char> buffer(kReadBufferSize);
    std::vector<char> scratch(kReadBufferSize);
    std::string why;
    for (Task* task : tasks) {
        if (failure.failed()) return;
        why.clear();
        if (!StageFile(uf, walker, *task, buffer, scratch, umask, true, why)) {
            failure.Set(task->entry->order, task->entry->storedName, why);
            return;
        }
    }
}

platform::UniqueFd OpenRoot(const std::string& rootDir) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    platform::UniqueFd fd(::open(rootDir.c_str(), kFlags));
    if (!fd && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(rootDir, ec);
        fd.reset(::open(rootDir.c_str(), kFlags));
    }
    return fd;
}

unsigned ChooseThreads(unsigned requested, const std::vector<Task*>& files) {
    if (files.size() < 2) return 1;
    if (requested != 0) return static_cast<unsigned>(std::min<std::size_t>(requested, files.size()));
    uint64_t bytes = 0;
    for (const Task* t : files) bytes += t->entry->size;
    return (bytes >= kParallelBytes && std::thread::hardware_concurrency() >= 2) ? 2 : 1;
}

// Consecutive runs of entries with about equal work, so each thread reads
// its own stretch of the archive front to back. Creating a file costs about
// as much as inflating a few hundred KiB, so a package of many small files
// and a few large ones is not left to one thread's share.
constexpr uint64_t kFileCost = 256 * 1024;
std::vector<std::vector<Task*>> SplitWork(const std::vector<Task*>& files, unsigned parts) {
    uint64_t total = 0;
    for (const Task* t : files) total += t->entry->compressedSize + kFileCost;
    std::vector<std::vector<Task*>> out(parts);
    uint64_t done = 0;
    for (Task* t : files) {
        const std::size_t part = std::min<std::size_t>(parts - 1, done * parts / std::max<uint64_t>(total, 1));
        out[part].push_back(t);
        done += t->entry->compressedSize + kFileCost;
    }
    return out;
}

// Staging needs room for every new file beside the old one until the commit.
bool CheckFreeSpace(int rootFd, const std::vector<Planned>& plan, std::string& why) {
    struct statvfs vfs{};
    if (::fstatvfs(rootFd, &vfs) != 0 || vfs.f_frsize == 0) return true;  // nothing to go by
    const uint64_t block = vfs.f_frsize;
    uint64_t bytes = 0;
    uint64_t nodes = 1;  // the journal
    for (const Planned& e : plan) {
        bytes += (e.size + block - 1) / block * block + kOverheadPerEntry;
        ++nodes;
    }
    const bool privileged = ::geteuid() == 0;
    const uint64_t freeBytes = static_cast<uint64_t>(privileged ? vfs.f_bfree : vfs.f_bavail) * block;
    if (bytes > freeBytes) {
        why = "not enough free space: the package needs " + std::to_string(bytes) + " bytes, " +
              std::to_string(freeBytes) + " are free";
        return false;
    }
    // Some file systems have no fixed number of inodes and report none.
    const uint64_t freeNodes = privileged ? vfs.f_ffree : vfs.f_favail;
    if (vfs.f_files != 0 && nodes > freeNodes) {
        why = "not enough free inodes: the package needs " + std::to_string(nodes) + ", " +
              std::to_string(freeNodes) + " are free";
        return false;
    }
    return true;
}

// Makes every folder the package needs, each recorded in the journal before
// it exists.
// The key of an entry's folder in the table of folders kept open: its
// components, each followed by "/".
std::string FolderKey(const std::vector<std::string>& components, std::size_t count) {
    std::string key;
    for (std::size_t i = 0; i < count; ++i) key.append(components[i]).push_back('/');
    return key;
}

// Makes every folder the package needs, each recorded in the journal before
// it exists, visiting each once, parents first; keeps the first ones open
// for the rest of the run.
bool MakeFolders(FolderWalker& maker, const std::vector<Planned>& plan, std::size_t& created,
                 std::unordered_map<std::string, platform::UniqueFd>& kept, FailureSlot& failure) {
    // Folder key -> the first entry that needs it, for the failure message.
    std::map<std::string, const Planned*> needed;
    for (const Planned& e : plan) {
        const std::size_t depth = e.kind == Kind::Folder ? e.path.components.size() : e.path.components.size() - 1;
        needed.emplace(FolderKey(e.path.components, depth), &e);
        if (e.kind == Kind::Folder) ++created;
    }
    std::string why;
    for (const auto& [key, e] : needed) {
        const std::size_t depth = e->kind == Kind::Folder ? e->path.components.size() : e->path.components.size() - 1;
        const int fd = maker.Open(e->path.components, depth, &why);
        if (fd < 0) {
            failure.Set(e->order, e->storedName, why);
            return false;
        }
        if (kept.size() >= kMaxKeptFolders) continue;
        platform::UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (copy) kept.emplace(key, std::move(copy));
    }
    return true;
}

bool Unchangeable(const struct statx& stx) {
    const uint64_t flags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    return (stx.stx_attributes_mask & flags) && (stx.stx_attributes & flags);
}

// `name` in `dirFd`, or the folder itself when empty.
bool Unchangeable(int dirFd, const char* name) {
    struct statx stx{};
    const int flags = *name ? AT_SYMLINK_NOFOLLOW : AT_EMPTY_PATH;
    return ::statx(dirFd, name, flags, STATX_TYPE, &stx) == 0 && Unchangeable(stx);
}

// Gives every file and link its staged name and checks that its target can
// be replaced by a rename: no folder in the way, a name the file system takes.
bool PlanTargets(FolderWalker& maker, std::vector<Task>& tasks, const std::vector<std::string>& programs,
                 std::vector<StagedPair>& pairs, const std::unordered_map<std::string, platform::UniqueFd>& kept,
                 FailureSlot& failure) {
    std::string why;
    std::string folder;
    // Each folder's own attributes, looked at once.
    std::map<std::string, struct statx> folders;
    const uid_t me = ::geteuid();
    for (Task& task : tasks) {
        const Planned& e = *task.entry;
        task.program = e.kind == Kind::File &&
                       std::find(programs.begin(), programs.end(), e.path.Joined()) != programs.end();
        const std::vector<std::string>& parts = e.path.components;
        folder = FolderKey(parts, parts.size() - 1);
        const auto found = kept.find(folder);
        const int dirFd = found != kept.end() ? found->second.get() : maker.Open(parts, parts.size() - 1, &why);
        if (dirFd < 0) {
            failure.Set(e.order, e.storedName, why);
            return false;
        }
        if (found != kept.end()) task.dirFd = dirFd;
        auto info = folders.find(folder);
        if (info == folders.end()) {
            struct statx dir{};
            if (::statx(dirFd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_MODE | STATX_UID | STATX_MNT_ID, &dir) != 0) {
                failure.Set(e.order, e.storedName, std::string("its folder cannot be read: ") + std::strerror(errno));
                return false;
            }
            info = folders.emplace(folder, dir).first;
        }
        const struct statx& dir = info->second;
        // A rename cannot replace an immutable or append-only file, a mount
        // point, or another user's file in a sticky folder, nor change an
        // append-only folder: found now, before anything is staged, rather
        // than half way through the commit.
        if (Unchangeable(dir)) {
            failure.Set(e.order, e.storedName, "its folder is immutable or append-only");
            return false;
        }
        struct statx stx{};
        if (::statx(dirFd, parts.back().c_str(), AT_SYMLINK_NOFOLLOW,
                    STATX_TYPE | STATX_MODE | STATX_UID | STATX_MNT_ID | STATX_SIZE | STATX_MTIME, &stx) == 0) {
            if (S_ISDIR(stx.stx_mode)) {
                failure.Set(e.order, e.storedName, "a folder is in the way");
                return false;
            }
            if (Unchangeable(stx)) {
                failure.Set(e.order, e.storedName, "cannot be replaced: it is immutable or append-only");
                return false;
            }
            // Mount identities, not device numbers: an overlay reports its
            // files' layer devices but its folders' own.
            const bool otherMount = (stx.stx_mask & STATX_MNT_ID) && (dir.stx_mask & STATX_MNT_ID) &&
                                    stx.stx_mnt_id != dir.stx_mnt_id;
            if (otherMount ||
                ((stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT))) {
                failure.Set(e.order, e.storedName, "cannot be replaced: something is mounted on it");
                return false;
            }
            if ((dir.stx_mode & S_ISVTX) && me != 0 && stx.stx_uid != me && dir.stx_uid != me) {
                failure.Set(e.order, e.storedName, "cannot be replaced: another user's file in a sticky folder");
                return false;
            }
            if (S_ISREG(stx.stx_mode)) {
                task.hasExisting = true;
                task.existingMode = stx.stx_mode & 0777;
                task.existingPermissions = stx.stx_mode & 07777;
                task.existingSize = stx.stx_size;
                // Staged files get whole seconds; a finer time was set by someone else.
                if ((stx.stx_mask & STATX_MTIME) && stx.stx_mtime.tv_nsec == 0) task.existingTime = stx.stx_mtime.tv_sec;
            }
        } else if (errno != ENOENT) {
            failure.Set(e.order, e.storedName, std::string("cannot be replaced: ") + std::strerror(errno));
            return false;
        }
        task.staged = StagedNameFor(parts.back());
        std::vector<std::string> stagedParts = parts;
        stagedParts.back() = task.staged;
        pairs.push_back({EntryPath{stagedParts, false}.Joined(), e.path.Joined()});
    }
    return true;
}

bool CheckExecutables(const std::vector<Planned>& plan, const std::vector<std::string>& programs,
                      const std::vector<Task>& tasks, FailureSlot& failure) {
    for (const Planned& e : plan) {
        if (e.kind == Kind::File) continue;
        if (std::find(programs.begin(), programs.end(), e.path.Joined()) == programs.end()) continue;
        failure.Set(e.order, e.storedName, e.kind == Kind::Link ? "a link in place of a program" : "a folder in place of a program");
        return false;
    }
    for (const Task& task : tasks) {
        if (!task.program) continue;
        if (!(task.mode & S_IXUSR)) {
            failure.Set(task.entry->order, task.entry->storedName, "would not be executable");
            return false;
        }
    }
    return true;
}

// Removes what runs of older versions, which kept no journal, left when
// they were killed: in the folders this package wrote to, files named like
// a staged file of a name that exists beside it.
void SweepOldStaging(const std::unordered_map<std::string, platform::UniqueFd>& folders) {
    const std::size_t suffix = std::char_traits<char>::length(kStagedMarker) + 6;
    for (const auto& [key, dirFd] : folders) {
        const int fd = ::openat(dirFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
        if (!dir) {
            ::close(fd);
            continue;
        }
        std::vector<std::string> staged;
        while (const dirent* e = ::readdir(dir.get())) {
            const std::string name = e->d_name;
            if ((e->d_type != DT_REG && e->d_type != DT_LNK) || !LooksStaged(name) || name.size() <= suffix + 1)
                continue;
            const std::string target = name.substr(1, name.size() - 1 - suffix);
            struct stat st{};
            if (::fstatat(dirFd.get(), target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) staged.push_back(name);
        }
        for (const std::string& name : staged) ::unlinkat(dirFd.get(), name.c_str(), 0);
    }
}

// Whether a kept file is still the one its compare found, untouched.
bool StillAsCompared(FolderWalker& walker, const Task& task) {
    std::string why;
    const int dirFd = FolderOf(task, walker, why);
    struct stat now{};
    return dirFd >= 0 &&
           ::fstatat(dirFd, task.entry->path.components.back().c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           Untouched(task.compared, now);
}

// Renames every staged file over its target. The staged data is already
// durable, so a rename over an existing file costs no flush of its own.
std::vector<std::string> Replace(FolderWalker& walker, const std::vector<Task>& tasks) {
    std::vector<std::string> problems;
    std::string why;
    for (const Task& task : tasks) {
        if (task.unchanged) continue;
        const std::vector<std::string>& parts = task.entry->path.components;
        const int dirFd = FolderOf(task, walker, why);
        if (dirFd < 0) {
            problems.push_back(why);
            continue;
        }
        if (::renameat(dirFd, task.staged.c_str(), dirFd, parts.back().c_str()) != 0)
            problems.push_back("cannot replace \"" + Printable(task.entry->path.Joined()) + "\": " +
                               std::strerror(errno));
    }
    return problems;
}

}  // namespace

UnpackResult UnpackArchive(const std::string& zipPath, const std::string& rootDir, const UnpackOptions& options) {
    UnpackResult result;
    FailureSlot failure;
    auto fail = [&](Journal* journal) {
        if (journal) journal->RollBack();
        result.failedEntry = failure.get().name;
        result.reason = failure.get().reason;
        result.written = 0;
        result.folders = 0;
        return result;
    };

    const platform::UniqueFd rootFd = OpenRoot(rootDir);
    if (!rootFd) {
        failure.Set(0, "", "cannot open the folder \"" + Printable(rootDir) + "\": " + std::strerror(errno));
        return fail(nullptr);
    }
    // Nothing can be removed from an append-only folder, the journal least of all.
    if (Unchangeable(rootFd.get(), "")) {
        failure.Set(0, "", "the folder \"" + Printable(rootDir) + "\" is immutable or append-only");
        return fail(nullptr);
    }
    Journal journal;
    std::string why;
    if (!journal.Open(rootFd.get(), options.lockWaitMs, result.recovered, why)) {
        result.postponed = journal.blocked();
        failure.Set(0, "", why);
        return fail(nullptr);
    }
    result.rootUsable = true;

    ArchiveFile archiveFile(zipPath);
    UnzHandle archive(archiveFile.OpenHandle());
    if (!archive) {
        failure.Set(0, "", "cannot read the archive \"" + Printable(zipPath) + "\"");
        return fail(&journal);
    }
    result.opened = true;

    std::vector<Planned> plan;
    if (!ReadPlan(archive.get(), plan, failure)) return fail(&journal);
    DropSuperseded(plan);
    if (!CheckFreeSpace(rootFd.get(), plan, why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }

    FolderWalker maker(rootFd.get(), [&journal](const std::string& folder, std::string& error) {
        return journal.AddFolder(folder, error);
    });
    std::unordered_map<std::string, platform::UniqueFd> keptFolders;
    if (!MakeFolders(maker, plan, result.folders, keptFolders, failure)) return fail(&journal);

    std::vector<Task> tasks;
    for (const Planned& e : plan) {
        if (e.kind != Kind::Folder) {
            Task task;
            task.entry = &e;
            tasks.push_back(std::move(task));
        }
    }
    std::vector<StagedPair> pairs;
    if (!PlanTargets(maker, tasks, options.executables, pairs, keptFolders, failure)) return fail(&journal);
    if (!journal.AddFiles(pairs, why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }

    std::vector<Task*> files;
    std::vector<Task*> links;
    for (Task& t : tasks) (t.entry->kind == Kind::File ? files : links).push_back(&t);
    const mode_t umask = ProcessUmask();
    const unsigned threads = ChooseThreads(options.threads, files);
    std::vector<UnzHandle> handles;
    handles.push_back(std::move(archive));
    for (unsigned t = 1; t < threads; ++t) {
        UnzHandle more(archiveFile.OpenHandle());
        if (!more) break;
        handles.push_back(std::move(more));
    }
    if (handles.size() == 1) {
        StageFiles(handles[0].get(), rootFd.get(), files, umask, failure);
    } else {
        const auto work = SplitWork(files, static_cast<unsigned>(handles.size()));
        std::vector<std::jthread> workers;
        for (std::size_t t = 0; t < handles.size(); ++t) {
            workers.emplace_back(
                [&, t] { StageFiles(handles[t].get(), rootFd.get(), work[t], umask, failure); });
        }
    }
    if (failure.failed()) return fail(&journal);

    std::vector<char> buffer(kReadBufferSize);
    for (Task* task : links) {
        why.clear();
        if (!StageLink(handles[0].get(), maker, *task, buffer, why)) {
            failure.Set(task->entry->order, task->entry->storedName, why);
            return fail(&journal);
        }
    }
    if (!CheckExecutables(plan, options.executables, tasks, failure)) return fail(&journal);

    if (::syncfs(rootFd.get()) != 0) {
        failure.Set(0, "", std::string("cannot make the staged files durable: ") + std::strerror(errno));
        return fail(&journal);
    }
    // Another process may have written to a kept file since its compare:
    // such a file is staged after all, as late as possible before the commit.
    std::vector<char> scratch(kReadBufferSize);
    bool restaged = false;
    for (Task& task : tasks) {
        if (!task.unchanged || StillAsCompared(maker, task)) continue;
        task.unchanged = false;
        why.clear();
        if (!StageFile(handles[0].get(), maker, task, buffer, scratch, umask, false, why)) {
            failure.Set(task.entry->order, task.entry->storedName, why);
            return fail(&journal);
        }
        restaged = true;
    }
    if (restaged && ::syncfs(rootFd.get()) != 0) {
        failure.Set(0, "", std::string("cannot make the staged files durable: ") + std::strerror(errno));
        return fail(&journal);
    }
    if (!journal.Commit(pairs.size(), why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }
    const std::vector<std::string> problems = Replace(maker, tasks);
    if (!problems.empty()) {
        // The journal stays committed: the next run puts in what is missing.
        result.commitIncomplete = true;
        result.reason = problems.front();
        return result;
    }
    // The renames themselves, before the journal that could redo them goes.
    ::syncfs(rootFd.get());
    // Still under the journal's lock: a run waiting for it must not have
    // its own staged files taken for old ones.
    SweepOldStaging(keptFolders);
    journal.Finish();
    result.applied = true;
    result.written = tasks.size();
    result.unchanged = static_cast<std::size_t>(std::count_if(tasks.begin(), tasks.end(), [](const Task& t) { return t.unchanged; }));
    return result;
}

}  // namespace tavlin::unpack
