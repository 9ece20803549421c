#include "PendingUpdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "LauncherLog.h"
#include "VozIradoz.h"
#include "platform/module.h"
#include "unpack/Printable.h"
#include "unpack/Unpack.h"

namespace {

constexpr const char* kArchive = "update.zip";
constexpr const char* kPendingArchive = "temp/update.zip";
// Deleted in this order: the updater program of the last update and the
// download's temporary files.
constexpr const char* kLeftovers[] = {"temp/Updater.exe", "temp/update.td0", "temp/update.td1",
                                      "temp/update.td2",  "temp/update.td3", "temp/update.td"};
// A package that leaves these without their execute bit would leave a
// client, or a launcher, that cannot start.
const std::vector<std::string> kPrograms = {"tavlin.exe", "TavlinLaunch.exe"};

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void LogRecord(unsigned line, const char* function, const std::string& text) {
    launcher::LogInfo(__FILE__, line, function).getStream() << text;
}

// Copies `from` to `to` through a name beside `to`, so `to` is either the
// whole package or untouched.
bool CopyWhole(const std::string& from, const std::string& to, std::string& why) {
    const std::string partial = to + ".tavlin-copy";
    // std's copy falls back to read and write where Boost's copy_file_range
    // refuses to cross file systems.
    std::error_code error;
    std::filesystem::copy_file(from, partial, std::filesystem::copy_options::overwrite_existing, error);
    if (!error && ::rename(partial.c_str(), to.c_str()) == 0) return true;
    why = error ? error.message() : std::strerror(errno);
    std::remove(partial.c_str());
    return false;
}

}  // namespace

bool GetModuleDirA(std::string& dir) {
    std::string path;
    if (!platform::GetModulePath(path)) return false;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    dir = path.substr(0, slash + 1);
    return true;
}

void FinishInterruptedUpdate() {
    std::string dir;
    if (GetModuleDirA(dir)) pending_update::FinishInterruptedIn(dir);
}

void ApplyPendingUpdateFiles() {
    std::string dir;
    if (GetModuleDirA(dir)) pending_update::CleanTempFolder(dir);
}

void UnpackUpdateArchive() {
    if (!Exists(kArchive)) return;
    KillProcessesByName(u"tavlinCacheAssistant.exe");
    const std::string root = platform::GetCurrentDir();
    if (root.empty()) {
        std::remove(kArchive);
        return;
    }
    pending_update::UnpackArchiveIn(root);
}

namespace pending_update {

void FinishInterruptedIn(const std::string& dir) {
    const std::string done = tavlin::unpack::DescribeRecovery(tavlin::unpack::RecoverInterrupted(dir));
    if (!done.empty()) LogRecord(launcher::log_line::kRecovered, "FinishInterruptedUpdate", done);
}

void CleanTempFolder(const std::string& dir) {
    for (const char* leftover : kLeftovers) std::remove((dir + leftover).c_str());
    const std::string pending = dir + kPendingArchive;
    if (!Exists(pending)) return;
    const std::string target = dir + kArchive;
    // On one file system the package just changes folders; otherwise it is
    // copied, and stays where it is when the copy fails, for the next start.
    if (::rename(pending.c_str(), target.c_str()) == 0) return;
    std::string why = std::strerror(errno);
    if (errno == EXDEV && CopyWhole(pending, target, why)) {
        std::remove(pending.c_str());
        return;
    }
    LogRecord(launcher::log_line::kPackageMoveUp, "ApplyPendingUpdateFiles",
              "cannot move " + tavlin::unpack::Printable(pending) + " up, kept for the next start: " + why);
}

void UnpackArchiveIn(const std::string& dir) {
    const std::string archive = dir + "/" + kArchive;
    if (!Exists(archive)) return;
    tavlin::unpack::UnpackOptions options;
    options.executables = kPrograms;
    const tavlin::unpack::UnpackResult result = tavlin::unpack::UnpackArchive(archive, dir, options);
    const std::string recovered = tavlin::unpack::DescribeRecovery(result.recovered);
    if (!recovered.empty()) LogRecord(launcher::log_line::kRecovered, "UnpackUpdateArchive", recovered);
    if (result.postponed) {
        // Not the package's fault: it waits for the next start.
        LogRecord(launcher::log_line::kUnpackFailure, "UnpackUpdateArchive",
                  "unpack postponed, package kept for the next start: " + result.reason);
        return;
    }
    if (result.commitIncomplete) {
        LogRecord(launcher::log_line::kUnpackFailure, "UnpackUpdateArchive",
                  "unpack failure: the update is finished at the next start: " + result.reason);
    } else if (!result.applied) {
        LogRecord(launcher::log_line::kUnpackFailure, "UnpackUpdateArchive",
                  "unpack failure, nothing installed: " + tavlin::unpack::DescribeFailure(result));
    }
    // A package is applied at most once, so a broken one cannot come back
    // at every start.
    std::remove(archive.c_str());
}

}  // namespace pending_update
