#include "app/process_op.h"

#include <cerrno>
#include <vector>

#include "app/zebUtil.h"
#include "log/FileLogger.h"
#include "platform/process.h"

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

pid_t FindProcess_ByName(const std::string& name) {
    std::vector<platform::ProcessEntry> processes;
    if (!platform::SnapshotProcesses(processes)) {
        UPDATER_LOG(2, "process32 first error: %d", errno);
        return 0;
    }
    for (const platform::ProcessEntry& entry : processes) {
        if (SameName(entry.exeName, name)) return entry.pid;
        UPDATER_LOG(0, " %s ", entry.exeName.c_str());
    }
    return 0;
}
