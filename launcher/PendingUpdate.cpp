#include "PendingUpdate.h"

#include <string>
#include <vector>

#include "LauncherFiles.h"
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

void LogRecord(unsigned line, const char* function, const std::string& text) {
    launcher::LogInfo(__FILE__, line, function).getStream() << text;
}

}  // namespace

bool GetModuleDirA(std::string& dir) { return platform::GetModuleFolder(dir); }

void FinishInterruptedUpdate() {
    std::string dir;
    if (GetModuleDirA(dir)) pending_update::FinishInterruptedIn(dir);
}

void ApplyPendingUpdateFiles() {
    std::string dir;
    if (GetModuleDirA(dir)) pending_update::CleanTempFolder(dir);
}

void UnpackUpdateArchive() {
    if (!launcher::FileExists(kArchive)) return;
    KillProcessesByName(u"tavlinCacheAssistant.exe");
    const std::string root = platform::GetCurrentDir();
    if (root.empty()) {
        launcher::RemoveFile(kArchive);
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
    for (const char* leftover : kLeftovers) launcher::RemoveFile(dir + leftover);
    const std::string pending = dir + kPendingArchive;
    if (!launcher::FileExists(pending)) return;
    // A package that cannot be moved stays where it is, for the next start.
    std::string why;
    if (launcher::MoveFileReplacing(pending, dir + kArchive, why)) return;
    LogRecord(launcher::log_line::kPackageMoveUp, "ApplyPendingUpdateFiles",
              "cannot move " + tavlin::unpack::Printable(pending) + " up, kept for the next start: " + why);
}

void UnpackArchiveIn(const std::string& dir) {
    const std::string archive = dir + "/" + kArchive;
    if (!launcher::FileExists(archive)) return;
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
    launcher::RemoveFile(archive);
}

}  // namespace pending_update
