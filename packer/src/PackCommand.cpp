#include "packer/PackCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "packer/DeltaPlan.h"
#include "packer/FileDigests.h"
#include "packer/OutputFile.h"
#include "packer/PackageWriter.h"
#include "packer/TreeScan.h"
#include "platform/unique_fd.h"
#include "signing/PackageSignature.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

// The largest key file read.
constexpr std::size_t kMaxKeyFile = 64 * 1024;
// Problems listed one by one before the rest are only counted.
constexpr std::size_t kMaxListed = 50;

std::string Quoted(const std::string& path) { return "\"" + unpack::Printable(path) + "\""; }

void ListProblems(const std::vector<std::string>& problems, const std::string& what, std::ostream& err) {
    err << "tavlin-pack: " << what << ":\n";
    for (std::size_t i = 0; i < problems.size() && i < kMaxListed; ++i) err << "  " << problems[i] << "\n";
    if (problems.size() > kMaxListed) err << "  ... and " << problems.size() - kMaxListed << " more\n";
    err << "tavlin-pack: no package written\n";
}

int Fail(std::ostream& err, const std::string& message) {
    err << "tavlin-pack: " << message << "\n";
    return kExitFailed;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether `path` (a link followed) is a device, fifo or socket: renaming a
// file over it would replace, say, /dev/null for everybody.
bool IsSpecial(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// Why the package cannot be written at `output`, or "".
std::string OutputProblem(const std::string& output, const std::string& newTree, bool signing) {
    struct stat st{};
    if (::stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Quoted(output) + " is a folder";
    if (IsSpecial(output)) return Quoted(output) + " is not a file (a device, fifo or socket); only a file is replaced";
    if (signing && IsSpecial(output + ".sig"))
        return Quoted(output + ".sig") + " is not a file (a device, fifo or socket); only a file is replaced";
    const std::string folder = RealPath(FolderOf(output));
    if (folder.empty()) return "the folder of " + Quoted(output) + " cannot be used: " + std::strerror(errno);
    const std::string tree = RealPath(newTree);
    if (!tree.empty() && (folder == tree || folder.rfind(tree + "/", 0) == 0))
        return "the package " + Quoted(output) + " would lie inside the tree it packs";
    return {};
}

bool ReadKey(const std::string& path, std::string& pem, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the key " + Quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    // A key file is a few hundred bytes; /dev/zero given by mistake must not
    // be read until memory runs out.
    std::vector<char> text(kMaxKeyFile + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        error = "cannot read the key " + Quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    if (static_cast<std::size_t>(in.gcount()) > kMaxKeyFile) {
        error = "the key " + Quoted(path) + " cannot be used: it is larger than " + std::to_string(kMaxKeyFile / 1024) +
                " KiB, which no PEM key is";
        return false;
    }
    pem.assign(text.data(), static_cast<std::size_t>(in.gcount()));
    std::string why;
    if (signing::PublicKeyPem(pem, why).empty()) {
        error = "the key " + Quoted(path) + " cannot be used: " + why;
        return false;
    }
    return true;
}

}  // namespace

int RunPack(const PackRequest& request, unsigned umask, std::ostream& out, std::ostream& err) {
    const unsigned threads = request.threads ? request.threads : std::max(1u, std::thread::hardware_concurrency());

    std::string keyPem;
    std::string error;
    if (!request.signKey.empty() && !ReadKey(request.signKey, keyPem, error)) return Fail(err, error);
    if (const std::string why = OutputProblem(request.output, request.newTree, !request.signKey.empty()); !why.empty())
        return Fail(err, why);

    std::vector<TreeEntry> entries;
    std::vector<std::string> problems;
    if (!ScanTree(request.newTree, entries, problems)) {
        ListProblems(problems, "the tree " + Quoted(request.newTree) + " cannot be packed", err);
        return kExitFailed;
    }
    problems = InstallProblems(entries);
    if (!problems.empty()) {
        ListProblems(problems, "the tree " + Quoted(request.newTree) +
                                   " holds what an installation would refuse or could not reproduce",
                     err);
        return kExitFailed;
    }

    if (!request.baseTree.empty()) {
        std::vector<TreeEntry> oldEntries;
        if (!ScanTree(request.baseTree, oldEntries, problems)) {
            ListProblems(problems, "the old tree " + Quoted(request.baseTree) + " cannot be read", err);
            return kExitFailed;
        }
        Delta delta = PlanDelta(request.newTree, entries, request.baseTree, oldEntries);
        if (!delta.problems.empty()) {
            ListProblems(delta.problems, "the delta cannot be installed over the old tree", err);
            return kExitFailed;
        }
        if (!delta.onlyInOld.empty()) {
            err << "tavlin-pack: only in the old tree; a package never deletes, so installations keep them:\n";
            for (const std::string& path : delta.onlyInOld) err << "  " << unpack::Printable(path) << "\n";
        }
        entries = std::move(delta.entries);
        if (entries.empty()) return Fail(err, "nothing to pack: the new tree holds nothing that differs from the old one");
    } else if (entries.empty()) {
        return Fail(err, "nothing to pack: the tree " + Quoted(request.newTree) + " is empty");
    }

    const platform::UniqueFd rootFd(::open(request.newTree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd) return Fail(err, "cannot open " + Quoted(request.newTree) + ": " + std::strerror(errno));
    OutputFile package(request.output);
    if (!package.ok()) return Fail(err, package.error());
    if (!WritePackage(rootFd.get(), entries, package.tempPath(), threads, error)) return Fail(err, error);
    FileDigests digests;
    if (!DigestFile(package.tempPath(), digests, error)) return Fail(err, error);

    const std::string sigPath = request.output + ".sig";
    std::string signature;
    if (!keyPem.empty()) {
        if (!signing::SignStatement(keyPem, signing::SignedStatement(digests.sha256, digests.size), signature, error))
            return Fail(err, "cannot sign the package: " + error);
    }
    if (!package.Commit(umask)) return Fail(err, package.error());
    if (!signature.empty()) {
        if (!WriteFileAtomically(sigPath, signature + "\n", umask, error)) {
            // A package beside no signature is safer than one beside another's.
            ::unlink(request.output.c_str());
            return Fail(err, error);
        }
    } else if (struct stat st{}; ::lstat(sigPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                                  ::unlink(sigPath.c_str()) == 0) {
        err << "tavlin-pack: removed " << Quoted(sigPath) << ", the signature of an earlier package\n";
    }

    out << "package: " << request.output << "\n"
        << "entries: " << entries.size() << "\n"
        << "size: " << digests.size << "\n"
        << "md5: " << digests.md5 << "\n"
        << "sha256: " << digests.sha256 << "\n";
    if (!signature.empty()) out << "signature: " << signature << "\n";
    out << "command: temp/Updater.exe -url=" << (request.url.empty() ? kUrlPlaceholder : request.url)
        << " -md5=" << digests.md5 << " -sha256=" << digests.sha256;
    if (!signature.empty()) out << " -sig=" << signature;
    out << "\n";
    return kExitOk;
}

}  // namespace tavlin::packer
