#include "packer/DeltaPlan.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "platform/unique_fd.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

constexpr std::size_t kCompareBlock = 1 << 20;

std::string Quoted(const std::string& path) { return "\"" + unpack::Printable(path) + "\""; }

bool ReadFully(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether two files of `size` bytes hold the same data; `error` when either
// cannot be read.
bool SameData(const std::string& a, const std::string& b, uint64_t size, std::string& error) {
    const platform::UniqueFd fa(::open(a.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const platform::UniqueFd fb(::open(b.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fa || !fb) {
        error = Quoted(!fa ? a : b) + " cannot be read: " + std::strerror(errno);
        return false;
    }
    std::vector<char> bufA(kCompareBlock), bufB(kCompareBlock);
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(size, kCompareBlock));
        if (!ReadFully(fa.get(), bufA.data(), n) || !ReadFully(fb.get(), bufB.data(), n)) {
            error = "cannot compare " + Quoted(a) + " with " + Quoted(b) + ": a file changed or cannot be read";
            return false;
        }
        if (std::memcmp(bufA.data(), bufB.data(), n) != 0) return false;
        size -= n;
    }
    return true;
}

bool IsBelow(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

}  // namespace

Delta PlanDelta(const std::string& newRoot, const std::vector<TreeEntry>& newEntries, const std::string& oldRoot,
                const std::vector<TreeEntry>& oldEntries) {
    Delta delta;
    std::unordered_map<std::string, const TreeEntry*> oldByPath;
    for (const TreeEntry& e : oldEntries) oldByPath.emplace(e.path, &e);
    std::unordered_map<std::string, const TreeEntry*> newByPath;
    for (const TreeEntry& e : newEntries) newByPath.emplace(e.path, &e);

    for (const TreeEntry& e : newEntries) {
        const auto found = oldByPath.find(e.path);
        const TreeEntry* old = found == oldByPath.end() ? nullptr : found->second;
        if (!old) {
            delta.entries.push_back(e);
            continue;
        }
        if (old->kind == EntryKind::Folder && e.kind != EntryKind::Folder) {
            delta.problems.push_back(Quoted(e.path) +
                                     ": a folder in the old tree and not in the new one; a package cannot "
                                     "replace a folder (remove it from installations first)");
            continue;
        }
        if (old->kind != EntryKind::Folder && e.kind == EntryKind::Folder) {
            delta.problems.push_back(Quoted(e.path) +
                                     ": a folder in the new tree where the old one has a file or link; a package "
                                     "cannot put a folder in its place");
            continue;
        }
        bool changed = false;
        switch (e.kind) {
            case EntryKind::Folder: break;
            case EntryKind::Link: changed = old->kind != EntryKind::Link || old->linkTarget != e.linkTarget; break;
            case EntryKind::File: {
                changed = old->kind != EntryKind::File || old->size != e.size || (old->mode & 0777) != (e.mode & 0777);
                if (changed) break;
                std::string error;
                changed = !SameData(newRoot + "/" + e.path, oldRoot + "/" + old->path, e.size, error);
                if (!error.empty()) delta.problems.push_back(error);
                break;
            }
        }
        if (changed) delta.entries.push_back(e);
    }

    std::string lastGone;  // the latest folder listed as only in the old tree
    for (const TreeEntry& e : oldEntries) {
        if (newByPath.count(e.path)) continue;
        if (!lastGone.empty() && IsBelow(e.path, lastGone)) continue;
        delta.onlyInOld.push_back(e.ZipName());
        if (e.kind == EntryKind::Folder) lastGone = e.path;
    }
    return delta;
}

}  // namespace tavlin::packer
