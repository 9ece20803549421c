#include "log/LogDirectory.h"

#include "log/LogFile.h"
#include "platform/app_data.h"
#include "platform/module.h"

namespace updater_log {

std::string LogSubFolderFor(std::string_view modulePath) {
    size_t slash = modulePath.find_last_of(kPathSeparators);
    if (slash == std::string_view::npos) return "temp";
    std::string_view sub = modulePath.substr(slash + 1);
    size_t exe = sub.rfind(".exe");
    if (exe != std::string_view::npos) sub = sub.substr(0, exe);
    return std::string(sub);
}

std::string LogDirectory() {
    std::string dir = platform::LocalAppDataDir();
    if (dir.empty() || !MakeDirs(dir)) return {};
    for (const char* part : {"vrek", "logs", "Updater"}) {
        dir += kPathSeparator;
        dir += part;
        if (!MakeDir(dir)) return {};
    }
    std::string modulePath;
    if (!platform::GetModulePath(modulePath)) modulePath.clear();
    dir += kPathSeparator;
    dir += LogSubFolderFor(modulePath);
    if (!MakeDir(dir)) return {};
    return dir;
}

}  // namespace updater_log
