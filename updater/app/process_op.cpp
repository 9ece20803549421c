#include "app/process_op.h"

#include <cerrno>

#include "app/zebUtil.h"
#include "log/FileLogger.h"

namespace {

// Only A-Z fold, whatever the locale: names are compared byte by byte.
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

}  // namespace

pid_t FindProcess_ByName(const std::string& name, platform::ProcessHandle* opened) {
    pid_t found = 0;
    const bool listed = platform::ForEachProcess([&](const platform::ProcessEntry& entry) {
        if (SameName(entry.exeName, name)) {
            if (!opened) {
                found = entry.pid;
                return false;
            }
            *opened = platform::ProcessHandle::OpenEntry(entry);
            if (opened->valid() || errno != ESRCH) {
                found = entry.pid;
                return false;
            }
            // Gone since the walk saw it: not running any more.
        }
        UPDATER_LOG(0, " %s ", entry.exeName.c_str());
        return true;
    });
    if (!listed) UPDATER_LOG(2, "process32 first error: %d", errno);
    return found;
}
