#include "unpack/Unpack.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <unordered_map>

#include "../Plan.h"
#include "../Utf.h"
#include "JournalFile.h"
#include "StagingFile.h"
#include "WidePath.h"
#include "unpack/ArchiveFile.h"
#include "unpack/StagedName.h"

namespace tavlin::unpack {

namespace {

// What the journal and a file's own metadata may take besides its data.
constexpr uint64_t kOverheadPerEntry = 256;
constexpr uint64_t kClusterSize = 4096;

// One file to stage.
struct Task {
    const Planned* entry = nullptr;
    std::wstring target;
    std::wstring staged;
};

// Upper case, as Windows compares names.
std::wstring NameKey(const std::string& name) {
    std::wstring text = Widen(name);
    if (!text.empty()) ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Windows cannot hold every name a zip may carry, and names that differ
// only in case are one file there.
bool CheckNames(std::vector<Planned>& plan, FailureSlot& failure) {
    const std::wstring journalKey = NameKey(kJournalName);
    for (const Planned& e : plan) {
        if (e.path.components.size() == 1 && NameKey(e.path.components[0]) == journalKey) {
            failure.Set(e.order, e.storedName, "name is reserved for the installation's journal");
            return false;
        }
        for (const std::string& component : e.path.components) {
            const std::string problem = WindowsNameProblem(component);
            if (!problem.empty()) {
                failure.Set(e.order, e.storedName, "name holds " + problem);
                return false;
            }
        }
        // Creating one needs a privilege an installer does not have, and a
        // link's target would follow Unix rules: refused rather than written
        // as something else.
        if (e.kind == Kind::Link) {
            failure.Set(e.order, e.storedName, "a symbolic link, which this installation cannot hold on Windows");
            return false;
        }
    }
    // The later entry wins, as it does for names that are the same byte for byte.
    std::unordered_map<std::wstring, std::size_t> last;
    auto key = [](const Planned& e) { return NameKey(e.path.Joined()); };
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind != Kind::Folder) last[key(plan[i])] = i;
    }
    std::vector<Planned> kept;
    kept.reserve(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind == Kind::Folder || last[key(plan[i])] == i) kept.push_back(std::move(plan[i]));
    }
    plan.swap(kept);
    return true;
}

// Staging needs room for every new file beside the old one until the commit.
bool CheckFreeSpace(const std::wstring& root, const std::vector<Planned>& plan, std::string& why) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr)) return true;  // nothing to go by
    uint64_t bytes = 0;
    for (const Planned& e : plan) bytes += (e.size + kClusterSize - 1) / kClusterSize * kClusterSize + kOverheadPerEntry;
    if (bytes > available.QuadPart) {
        why = "not enough free space: the package needs " + std::to_string(bytes) + " bytes, " +
              std::to_string(available.QuadPart) + " are free";
        return false;
    }
    return true;
}

bool OpenRoot(const std::string& rootDir, std::wstring& root, std::string& why) {
    if (!LongAbsolutePath(rootDir, root)) {
        why = "the folder \"" + Printable(rootDir) + "\" is not a valid path";
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(root), error);
    const DWORD attributes = ::GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "cannot open the folder \"" + Printable(rootDir) + "\": " +
              (attributes == INVALID_FILE_ATTRIBUTES ? ErrorText(::GetLastError()) : "not a folder");
        return false;
    }
    return true;
}

// Makes every folder the package needs, parents first, each recorded in the
// journal before it exists. Junctions and links on the way are refused:
// nothing is written through them.
bool MakeFolders(const std::wstring& root, const std::vector<Planned>& plan, Journal& journal, std::size_t& created,
                 FailureSlot& failure) {
    std::map<std::string, const Planned*> needed;  // folder -> the first entry that needs it
    for (const Planned& e : plan) {
        const std::size_t depth = e.kind == Kind::Folder ? e.path.components.size() : e.path.components.size() - 1;
        std::string key;
        for (std::size_t i = 0; i < depth; ++i) {
            key += e.path.components[i] + "/";
            needed.emplace(key, &e);
        }
        if (e.kind == Kind::Folder) ++created;
    }
    std::string why;
    for (const auto& [key, e] : needed) {
        const std::size_t depth = static_cast<std::size_t>(std::count(key.begin(), key.end(), '/'));
        const std::wstring path = Below(root, e->path.components, depth);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                failure.Set(e->order, e->storedName, "\"" + Printable(key.substr(0, key.size() - 1)) + "\" is not a folder");
                return false;
            }
            continue;
        }
        const std::string folder = key.substr(0, key.size() - 1);
        if (!journal.AddFolder(folder, why)) {
            failure.Set(e->order, e->storedName, why);
            return false;
        }
        if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
            failure.Set(e->order, e->storedName, "cannot make folder \"" + Printable(folder) + "\": " + ErrorText(::GetLastError()));
            return false;
        }
    }
    return true;
}

// Whether the commit's move can replace `target`: nothing holds it open
// without letting it be deleted, and it is a file. Empty when it can;
// `held` says that another program has it open, which may pass.
std::string ReplaceProblem(const std::wstring& target, bool& held) {
    held = false;
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? std::string() : "cannot be replaced: " + ErrorText(error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder is in the way";
    // DELETE access is what the move needs; every sharing mode is offered,
    // so only a holder that refuses deletion makes this fail.
    platform::UniqueHandle probe(::CreateFileW(target.c_str(), DELETE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (probe) return {};
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
        held = true;
        return "cannot be replaced: another program has it open";
    }
    return "cannot be replaced: " + ErrorText(error);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

// `archive`: the package's own path, which it holds open while it is read.
bool PlanTargets(const std::wstring& root, const std::wstring& archive, std::vector<Task>& tasks,
                 std::vector<StagedPair>& pairs, FailureSlot& failure, bool& held) {
    for (Task& task : tasks) {
        const Planned& e = *task.entry;
        const std::vector<std::string>& parts = e.path.components;
        task.target = Below(root, parts);
        if (SamePath(task.target, archive)) {
            failure.Set(e.order, e.storedName, "the entry would replace the package itself");
            return false;
        }
        const std::string problem = ReplaceProblem(task.target, held);
        if (!problem.empty()) {
            failure.Set(e.order, e.storedName, problem);
            return false;
        }
        std::vector<std::string> stagedParts = parts;
        stagedParts.back() = StagedNameFor(parts.back());
        task.staged = Below(root, stagedParts);
        pairs.push_back({EntryPath{stagedParts, false}.Joined(), e.path.Joined()});
    }
    return true;
}

bool StageFile(unzFile uf, const Task& task, std::vector<char>& buffer, std::string& why) {
    const Planned& e = *task.entry;
    StagingFile out(task.staged);
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
    // Windows has no execute bits: only the read-only attribute is taken.
    if (!out.Finish(e.times, e.attributes.readOnly)) {
        why = out.error();
        return false;
    }
    return true;
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

    std::wstring root;
    std::string why;
    if (!OpenRoot(rootDir, root, why)) {
        failure.Set(0, "", why);
        return fail(nullptr);
    }
    Journal journal;
    if (!journal.Open(root, options.lockWaitMs, result.recovered, why)) {
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
    if (!CheckNames(plan, failure)) return fail(&journal);
    for (const std::string& program : options.executables) {
        for (const Planned& e : plan) {
            if (e.kind == Kind::Folder && e.path.Joined() == program) {
                failure.Set(e.order, e.storedName, "a folder in place of a program");
                return fail(&journal);
            }
        }
    }
    if (!CheckFreeSpace(root, plan, why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }
    if (!MakeFolders(root, plan, journal, result.folders, failure)) return fail(&journal);

    std::vector<Task> tasks;
    for (const Planned& e : plan) {
        if (e.kind == Kind::File) tasks.push_back({&e, {}, {}});
    }
    // A target another program holds (a client that is still ending) is no
    // fault of the package: it is tried again later rather than dropped.
    std::vector<StagedPair> pairs;
    std::wstring archivePath;
    if (!LongAbsolutePath(zipPath, archivePath)) archivePath.clear();
    if (!PlanTargets(root, archivePath, tasks, pairs, failure, result.postponed)) return fail(&journal);
    if (!journal.AddFiles(pairs, why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }

    // One thread: a Windows installation is written where its programs
    // run, and its disks gain little from a second writer.
    std::vector<char> buffer(kReadBufferSize);
    for (const Task& task : tasks) {
        why.clear();
        if (!StageFile(archive.get(), task, buffer, why)) {
            failure.Set(task.entry->order, task.entry->storedName, why);
            return fail(&journal);
        }
    }
    // A program may have opened a target while the package was staged:
    // found now, before the commit, rather than half way through it.
    for (const Task& task : tasks) {
        const std::string problem = ReplaceProblem(task.target, result.postponed);
        if (!problem.empty()) {
            failure.Set(task.entry->order, task.entry->storedName, problem);
            return fail(&journal);
        }
    }
    if (!journal.Commit(pairs.size(), why)) {
        failure.Set(0, "", why);
        return fail(&journal);
    }
    std::vector<std::string> problems;
    for (const Task& task : tasks) {
        if (!ReplaceTarget(task.staged, task.target, why))
            problems.push_back("cannot replace \"" + Printable(task.entry->path.Joined()) + "\": " + why);
    }
    if (!problems.empty()) {
        // The journal stays committed: the next run puts in what is missing.
        result.commitIncomplete = true;
        result.reason = problems.front();
        return result;
    }
    journal.Finish();
    result.applied = true;
    result.written = tasks.size();
    return result;
}

}  // namespace tavlin::unpack
