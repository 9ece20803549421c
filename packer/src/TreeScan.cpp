#include "packer/TreeScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/text.h"
#include "platform/unique_fd.h"
#include "unpack/EntryName.h"
#include "unpack/Journal.h"
#include "unpack/Printable.h"
#include "unpack/StagedFile.h"

namespace tavlin::packer {

namespace {

// The programs the installation starts; the launcher refuses a package that
// would leave one of them without its execute bit.
constexpr const char* kPrograms[] = {"tavlin.exe", "TavlinLaunch.exe"};
// Paths the programs own: the launcher unpacks and then deletes the package
// "update.zip", takes "temp/update.zip" for the next package to install,
// and deletes the updater and the download's leftovers at every start, so
// a package's files at these places would not stay as the tree has them.
constexpr const char* kOwnedPaths[] = {"update.zip",       "temp/update.zip", "temp/update.zip.dltmp",
                                       "temp/Updater.exe", "temp/update.td0", "temp/update.td1",
                                       "temp/update.td2",  "temp/update.td3", "temp/update.td"};
// The updater's work folder, where it runs and downloads.
constexpr const char* kWorkFolder = "temp";
// What the extended-timestamp field of an entry can hold.
constexpr int64_t kLatestTime = 0xFFFFFFFFll;
// The installation's zip reader (minizip 1.1) stops reading an entry at
// 4 GiB - 1 bytes: a larger file would never install.
constexpr uint64_t kLargestFile = 0xFFFFFFFEull;

std::string Quoted(const std::string& path) { return "\"" + unpack::Printable(path) + "\""; }

std::string Join(const std::string& folder, const char* name) {
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

const char* SpecialKind(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFIFO: return "a fifo";
        case S_IFSOCK: return "a socket";
        case S_IFCHR: return "a character device";
        case S_IFBLK: return "a block device";
        default: return "a special file";
    }
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class Walker {
public:
    Walker(std::vector<TreeEntry>& entries, std::vector<std::string>& problems)
        : entries_(entries), problems_(problems) {}

    // Takes ownership of `dirFd`.
    void Walk(int dirFd, const std::string& folder) {
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(dirFd));
        if (!dir) {
            ::close(dirFd);
            Problem(folder, std::string("cannot be read: ") + std::strerror(errno));
            return;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* e = ::readdir(dir.get())) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
            errno = 0;
        }
        if (errno != 0) {
            Problem(folder, std::string("cannot be read: ") + std::strerror(errno));
            return;
        }
        for (const std::string& name : names) Visit(::dirfd(dir.get()), folder, name);
    }

private:
    void Problem(const std::string& path, const std::string& what) {
        problems_.push_back((path.empty() ? std::string("the tree") : Quoted(path)) + ": " + what);
    }

    void Visit(int dirFd, const std::string& folder, const std::string& name) {
        const std::string path = Join(folder, name.c_str());
        struct stat st{};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            Problem(path, std::string("cannot be read: ") + std::strerror(errno));
            return;
        }
        TreeEntry e;
        e.path = path;
        e.mode = st.st_mode & 07777;
        e.mtime = st.st_mtim.tv_sec;
        if (S_ISREG(st.st_mode)) {
            e.kind = EntryKind::File;
            e.size = static_cast<uint64_t>(st.st_size);
            e.changeTimeNs = ChangeTimeNs(st);
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = EntryKind::Link;
            std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 2);
            const ssize_t n = ::readlinkat(dirFd, name.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
                Problem(path, n < 0 ? std::string("the link cannot be read: ") + std::strerror(errno)
                                    : std::string("the link changed while it was read"));
                return;
            }
            e.linkTarget.assign(target.data(), static_cast<std::size_t>(n));
            e.size = e.linkTarget.size();
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = EntryKind::Folder;
        } else {
            Problem(path, std::string(SpecialKind(st.st_mode)) + ", which a package cannot carry");
            return;
        }
        entries_.push_back(e);
        if (e.kind != EntryKind::Folder) return;
        const int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            Problem(path, std::string("cannot be opened: ") + std::strerror(errno));
            return;
        }
        Walk(sub, path);
    }

    std::vector<TreeEntry>& entries_;
    std::vector<std::string>& problems_;
};

// Why the launcher would not write `name` at the same place, or "".
std::string NameProblem(const TreeEntry& e) {
    bool valid = true;
    platform::Utf8ToUtf16(e.path, &valid);
    if (!valid) return "the name is not valid UTF-8, which package names must be";
    if (e.path.find('\\') != std::string::npos)
        return "the name holds a \"\\\", which an installation reads as a folder separator";
    const std::optional<unpack::EntryPath> placed = unpack::EntryPathFromName(e.ZipName());
    if (!placed || placed->Joined() != e.path)
        return "the launcher would not write this name where it stands in the tree" +
               (placed ? " (it reads it as " + Quoted(placed->Joined()) + ")" : std::string());
    if (placed->components.size() == 1 && placed->components[0] == unpack::kJournalName)
        return "the name is reserved for the installation's journal";
    if (std::any_of(placed->components.begin(), placed->components.end(), unpack::LooksStaged))
        return "the name has the form the launcher gives files it is installing";
    return {};
}

}  // namespace

void SortByZipName(std::vector<TreeEntry>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.ZipName() < b.ZipName(); });
}

bool ScanTree(const std::string& root, std::vector<TreeEntry>& entries, std::vector<std::string>& problems) {
    entries.clear();
    const std::size_t before = problems.size();
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        problems.push_back("the folder " + Quoted(root) + " cannot be opened: " + std::strerror(errno));
        return false;
    }
    Walker(entries, problems).Walk(fd, "");
    SortByZipName(entries);
    return problems.size() == before;
}

std::vector<std::string> InstallProblems(const std::vector<TreeEntry>& entries) {
    std::vector<std::string> problems;
    auto problem = [&](const TreeEntry& e, const std::string& what) { problems.push_back(Quoted(e.path) + ": " + what); };
    for (const TreeEntry& e : entries) {
        if (const std::string why = NameProblem(e); !why.empty()) {
            problem(e, why);
            continue;
        }
        if (e.mtime < 0 || e.mtime > kLatestTime)
            problem(e, "its modification time lies outside 1970 to 2106, which a package cannot carry");
        if (e.kind == EntryKind::Link) {
            const std::size_t slash = e.path.rfind('/');
            std::vector<std::string> folder;
            if (slash != std::string::npos) folder = unpack::EntryPathFromName(e.path.substr(0, slash))->components;
            if (!unpack::LinkTargetInsideRoot(folder, e.linkTarget))
                problem(e, "the link's target " + Quoted(e.linkTarget) +
                               " leads outside the tree (only relative targets that stay inside are installed)");
        }
        if (e.kind == EntryKind::File && e.size > kLargestFile)
            problem(e, "it holds 4 GiB or more, which an installation's zip reader cannot read");
        if (e.kind == EntryKind::File && (e.mode & 07000))
            problem(e, "it has the setuid, setgid or sticky bit, which an installation never gives");
        else if (e.kind == EntryKind::File && (e.mode & 0777) == 0)
            problem(e, "it has no permission bits; an installation would make it readable (0644)");
        for (const char* owned : kOwnedPaths)
            if (e.path == owned)
                problem(e, "the launcher and the updater use this name for their own files (a package there is "
                           "taken for the next update, or removed), so it cannot be shipped");
        if (e.path == kWorkFolder && e.kind != EntryKind::Folder)
            problem(e, "the updater runs and downloads in this folder, so it must be a folder");
        for (const char* program : kPrograms) {
            if (e.path != program) continue;
            if (e.kind != EntryKind::File)
                problem(e, "the installation starts this program, so it must be a regular file");
            else if (!(e.mode & S_IXUSR))
                problem(e, "the installation starts this program, so it must be executable (chmod +x)");
        }
    }
    return problems;
}

}  // namespace tavlin::packer
