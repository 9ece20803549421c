#include "log/LogDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/app_data.h"
#include "platform/module.h"

namespace updater_log {

namespace {

// mkdir that accepts an existing entry; whether it is usable shows when the
// log file is opened.
bool MakeDir(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// mkdir -p, for the state home itself.
bool MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (!MakeDir(path.substr(0, slash))) return false;
    }
    return MakeDir(path);
}

}  // namespace

std::string LogSubFolderFor(std::string_view modulePath) {
    size_t slash = modulePath.rfind('/');
    if (slash == std::string_view::npos) return "temp";
    std::string_view sub = modulePath.substr(slash + 1);
    size_t exe = sub.rfind(".exe");
    if (exe != std::string_view::npos) sub = sub.substr(0, exe);
    return std::string(sub);
}

std::string LogDirectory() {
    std::string dir = platform::LocalAppDataDir();
    if (dir.empty() || !MakeDirs(dir)) return {};
    for (const char* part : {"/vrek", "/logs", "/Updater"}) {
        dir += part;
        if (!MakeDir(dir)) return {};
    }
    std::string modulePath;
    if (!platform::GetModulePath(modulePath)) modulePath.clear();
    dir += '/';
    dir += LogSubFolderFor(modulePath);
    if (!MakeDir(dir)) return {};
    return dir;
}

}  // namespace updater_log
