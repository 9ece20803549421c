#include "PendingUpdate.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>

#include "LauncherLog.h"
#include "VozIradoz.h"
#include "platform/module.h"
#include "unpack/Unpack.h"

namespace {

constexpr const char* kArchive = "update.zip";
constexpr const char* kPendingArchive = "temp/update.zip";
// Deleted in this order: the updater program of the last update and the
// download's temporary files.
constexpr const char* kLeftovers[] = {"temp/Updater.exe", "temp/update.td0", "temp/update.td1",
                                      "temp/update.td2",  "temp/update.td3", "temp/update.td"};

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

bool GetModuleDirA(std::string& dir) {
    std::string path;
    if (!platform::GetModulePath(path)) return false;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    dir = path.substr(0, slash + 1);
    return true;
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

void CleanTempFolder(const std::string& dir) {
    for (const char* leftover : kLeftovers) std::remove((dir + leftover).c_str());
    const std::string pending = dir + kPendingArchive;
    if (!Exists(pending)) return;
    boost::system::error_code ignored;
    boost::filesystem::copy_file(pending, dir + kArchive,
                                 boost::filesystem::copy_options::overwrite_existing, ignored);
    // A package is applied at most once: the copy goes whether or not it
    // could be moved up.
    std::remove(pending.c_str());
}

void UnpackArchiveIn(const std::string& dir) {
    const std::string archive = dir + "/" + kArchive;
    if (!Exists(archive)) return;
    tavlin::unpack::UnpackOptions options;
    options.onSkip = [](const std::string& name, const std::string& reason) {
        auto record = launcher::LogInfo(__FILE__, launcher::log_line::kSkipEntry, "UnpackUpdateArchive");
        if (name.empty()) record.getStream() << "unpack failure: " << reason;
        else record.getStream() << "skip entry: " << name << ": " << reason;
    };
    tavlin::unpack::UnpackArchive(archive, dir, options);
    std::remove(archive.c_str());
}

}  // namespace pending_update
