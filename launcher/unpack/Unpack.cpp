#include "unpack/Unpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"
#include "unpack/AtomicFile.h"
#include "unpack/EntryMeta.h"
#include "unpack/EntryName.h"
#include "unpack/FolderWalker.h"

namespace tavlin::unpack {

namespace {

constexpr std::size_t kReadBufferSize = 256 * 1024;
constexpr std::size_t kMaxFieldSize = 65536;  // name and extra fields are 16-bit sized
constexpr uint64_t kMaxLinkTarget = 4096;
// Below this much data a second thread costs more than it saves.
constexpr uint64_t kParallelBytes = 8u << 20;

enum class Kind { Folder, File, Link };

struct Planned {
    std::size_t order = 0;  // index of the entry in the archive
    unz64_file_pos pos{};
    std::string storedName;
    EntryPath path;
    Kind kind = Kind::File;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    mode_t mode = 0644;
    EntryTimes times;
};

struct Skip {
    std::size_t order;
    std::string name;
    std::string reason;
};

struct UnzCloser {
    void operator()(void* uf) const { unzClose(uf); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

// The one place minizip's codes become words.
std::string UnzError(int code) {
    switch (code) {
        case UNZ_CRCERROR: return "data does not match its CRC";
        case UNZ_BADZIPFILE: return "damaged or unsupported entry";
        case UNZ_ERRNO: return std::string("read error: ") + std::strerror(errno);
        case UNZ_INTERNALERROR: return "internal error of the zip reader";
        case UNZ_PARAMERROR: return "bad parameter to the zip reader";
        case UNZ_EOF: return "unexpected end of the data";
        default: return "zip reader error " + std::to_string(code);
    }
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

// Reads the archive's directory into the list of work, refusing what cannot
// be placed safely. Stops at the first record that cannot be read.
void ReadPlan(unzFile uf, mode_t umask, std::vector<Planned>& plan, std::vector<Skip>& skips) {
    std::vector<char> name(kMaxFieldSize);
    std::vector<unsigned char> extra(kMaxFieldSize);
    std::size_t order = 0;
    for (int rc = unzGoToFirstFile(uf); rc == UNZ_OK; rc = unzGoToNextFile(uf), ++order) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(uf, &info, name.data(), name.size(), extra.data(), extra.size(),
                                    nullptr, 0) != UNZ_OK) {
            skips.push_back({order, "", "unreadable entry record"});
            break;
        }
        Planned e;
        e.order = order;
        e.storedName.assign(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
        const EntryAttributes attrs = AttributesFromZip(static_cast<uint16_t>(info.version),
                                                        static_cast<uint32_t>(info.external_fa));
        std::optional<EntryPath> path = EntryPathFromName(e.storedName);
        if (!path) {
            skips.push_back({order, e.storedName, "name leads outside the folder"});
            continue;
        }
        if (info.flag & 1) {
            skips.push_back({order, e.storedName, "encrypted"});
            continue;
        }
        e.path = std::move(*path);
        e.kind = (attrs.directory || e.path.endsWithSeparator) ? Kind::Folder
                 : attrs.symlink                               ? Kind::Link
                                                               : Kind::File;
        if (e.kind != Kind::Folder && e.path.components.empty()) {
            skips.push_back({order, e.storedName, "no file name"});
            continue;
        }
        if (e.kind == Kind::Link && info.uncompressed_size > kMaxLinkTarget) {
            skips.push_back({order, e.storedName, "link target too long"});
            continue;
        }
        unzGetFilePos64(uf, &e.pos);
        e.size = info.uncompressed_size;
        e.compressedSize = info.compressed_size;
        e.mode = attrs.mode & ~umask & 0777;
        e.times = TimesFromZip(static_cast<uint32_t>(info.dosDate), extra.data(),
                               std::min<std::size_t>(info.size_file_extra, extra.size()));
        plan.push_back(std::move(e));
    }
}

// Keeps only the last file or link of each name, so work can be shared out
// without two threads writing one path.
void DropSuperseded(std::vector<Planned>& plan) {
    std::unordered_map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind != Kind::Folder) last[plan[i].path.Joined()] = i;
    }
    std::vector<Planned> kept;
    kept.reserve(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind == Kind::Folder || last[plan[i].path.Joined()] == i)
            kept.push_back(std::move(plan[i]));
    }
    plan.swap(kept);
}

// Reads the current entry's whole data through `consume`; true only when the
// data is exactly as long as declared and its CRC matches.
template <typename Consume>
bool ReadEntryData(unzFile uf, const Planned& e, std::vector<char>& buffer, std::string& why,
                   Consume consume) {
    if (unzGoToFilePos64(uf, &e.pos) != UNZ_OK) {
        why = "entry record cannot be found again";
        return false;
    }
    int rc = unzOpenCurrentFile(uf);
    if (rc != UNZ_OK) {
        why = UnzError(rc);
        return false;
    }
    uint64_t total = 0;
    bool good = true;
    for (;;) {
        const int n = unzReadCurrentFile(uf, buffer.data(), static_cast<unsigned>(buffer.size()));
        if (n < 0) {
            why = UnzError(n);
            good = false;
            break;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (!consume(buffer.data(), static_cast<std::size_t>(n))) {
            good = false;
            break;
        }
    }
    rc = unzCloseCurrentFile(uf);
    if (good && rc != UNZ_OK) {
        why = UnzError(rc);
        good = false;
    }
    if (good && total != e.size) {
        why = "data is " + std::to_string(total) + " bytes, " + std::to_string(e.size) + " declared";
        good = false;
    }
    return good;
}

bool ExtractFile(unzFile uf, FolderWalker& walker, const Planned& e, std::vector<char>& buffer,
                 std::string& why) {
    const std::vector<std::string>& parts = e.path.components;
    const int dirFd = walker.Open(parts, parts.size() - 1, &why);
    if (dirFd < 0) return false;
    AtomicFile out(dirFd, parts.back());
    if (!out.ok()) {
        why = out.error();
        return false;
    }
    const bool complete = ReadEntryData(uf, e, buffer, why, [&](const char* data, std::size_t n) {
        if (out.Write(data, n)) return true;
        why = out.error();
        return false;
    });
    if (!complete) return false;
    // Linux keeps no settable creation time: only access and modification
    // times are given to the file.
    if (!out.Commit(e.mode, e.times.access, e.times.modification)) {
        why = out.error();
        return false;
    }
    return true;
}

bool ExtractLink(unzFile uf, FolderWalker& walker, const Planned& e, std::vector<char>& buffer,
                 std::string& why) {
    std::string target;
    const bool complete = ReadEntryData(uf, e, buffer, why, [&](const char* data, std::size_t n) {
        target.append(data, n);
        return target.size() <= kMaxLinkTarget;
    });
    if (!complete) return false;
    const std::vector<std::string>& parts = e.path.components;
    const std::vector<std::string> folder(parts.begin(), parts.end() - 1);
    if (!LinkTargetInsideRoot(folder, target)) {
        why = "link target \"" + target + "\" leads outside the folder";
        return false;
    }
    const int dirFd = walker.Open(parts, parts.size() - 1, &why);
    if (dirFd < 0) return false;
    return ReplaceWithSymlink(dirFd, parts.back(), target, why);
}

struct WorkerResult {
    std::size_t written = 0;
    std::vector<Skip> skips;
};

// Extracts the given files with its own archive handle and folder cache.
void ExtractFiles(unzFile uf, int rootFd, const std::vector<const Planned*>& files,
                  WorkerResult& result) {
    FolderWalker walker(rootFd);
    std::vector<char> buffer(kReadBufferSize);
    std::string why;
    for (const Planned* e : files) {
        why.clear();
        if (ExtractFile(uf, walker, *e, buffer, why)) {
            ++result.written;
        } else {
            result.skips.push_back({e->order, e->storedName, why});
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

unsigned ChooseThreads(unsigned requested, const std::vector<const Planned*>& files) {
    if (files.size() < 2) return 1;
    if (requested != 0) return static_cast<unsigned>(std::min<std::size_t>(requested, files.size()));
    uint64_t bytes = 0;
    for (const Planned* e : files) bytes += e->size;
    return (bytes >= kParallelBytes && std::thread::hardware_concurrency() >= 2) ? 2 : 1;
}

// Consecutive runs of entries with about equal compressed bytes, so each
// thread reads its own stretch of the archive front to back.
std::vector<std::vector<const Planned*>> SplitWork(const std::vector<const Planned*>& files,
                                                   unsigned parts) {
    uint64_t total = 0;
    for (const Planned* e : files) total += e->compressedSize + 1;
    std::vector<std::vector<const Planned*>> out(parts);
    uint64_t done = 0;
    for (const Planned* e : files) {
        const std::size_t part = std::min<std::size_t>(parts - 1, done * parts / std::max<uint64_t>(total, 1));
        out[part].push_back(e);
        done += e->compressedSize + 1;
    }
    return out;
}

}  // namespace

UnpackResult UnpackArchive(const std::string& zipPath, const std::string& rootDir,
                           const UnpackOptions& options) {
    UnpackResult result;
    std::vector<Skip> skips;
    auto report = [&] {
        result.skipped = skips.size();
        if (!options.onSkip) return;
        std::stable_sort(skips.begin(), skips.end(),
                         [](const Skip& a, const Skip& b) { return a.order < b.order; });
        for (const Skip& s : skips) options.onSkip(s.name, s.reason);
    };

    UnzHandle archive(unzOpen64(zipPath.c_str()));
    if (!archive) {
        skips.push_back({0, "", "cannot read the archive \"" + zipPath + "\""});
        report();
        return result;
    }
    result.opened = true;
    const platform::UniqueFd rootFd = OpenRoot(rootDir);
    if (!rootFd) {
        skips.push_back({0, "", "cannot open the folder \"" + rootDir + "\": " + std::strerror(errno)});
        report();
        return result;
    }

    std::vector<Planned> plan;
    ReadPlan(archive.get(), ProcessUmask(), plan, skips);
    DropSuperseded(plan);

    std::vector<const Planned*> folders, files, links;
    for (const Planned& e : plan) {
        (e.kind == Kind::Folder ? folders : e.kind == Kind::File ? files : links).push_back(&e);
    }
    // Every thread's handle is opened before anything is written: an entry
    // could replace the archive's own path.
    const unsigned threads = ChooseThreads(options.threads, files);
    std::vector<UnzHandle> handles;
    for (unsigned t = 1; t < threads; ++t) {
        handles.emplace_back(unzOpen64(zipPath.c_str()));
        if (!handles.back()) {
            handles.pop_back();
            break;
        }
    }
    handles.insert(handles.begin(), std::move(archive));

    // Folders first, then files, then links last, so no file is ever written
    // through a link made from the same package.
    FolderWalker walker(rootFd.get());
    std::string why;
    for (const Planned* e : folders) {
        if (walker.Open(e->path.components, e->path.components.size(), &why) >= 0) {
            ++result.folders;
        } else {
            skips.push_back({e->order, e->storedName, why});
        }
    }

    std::vector<WorkerResult> results(handles.size());
    if (handles.size() == 1) {
        ExtractFiles(handles[0].get(), rootFd.get(), files, results[0]);
    } else {
        const auto work = SplitWork(files, static_cast<unsigned>(handles.size()));
        std::vector<std::jthread> workers;
        for (std::size_t t = 0; t < handles.size(); ++t) {
            workers.emplace_back(
                [&, t] { ExtractFiles(handles[t].get(), rootFd.get(), work[t], results[t]); });
        }
    }
    for (WorkerResult& r : results) {
        result.written += r.written;
        skips.insert(skips.end(), r.skips.begin(), r.skips.end());
    }

    std::vector<char> buffer(kReadBufferSize);
    for (const Planned* e : links) {
        why.clear();
        if (ExtractLink(handles[0].get(), walker, *e, buffer, why)) {
            ++result.written;
        } else {
            skips.push_back({e->order, e->storedName, why});
        }
    }
    report();
    return result;
}

}  // namespace tavlin::unpack
