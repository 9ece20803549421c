#include <cstdlib>
#include <filesystem>

#include "log_files.h"
#include "log_root.h"

namespace updater_test {

void UseLogRoot(const std::string& root) { ::setenv("XDG_STATE_HOME", root.c_str(), 1); }

std::string ProgramLogFolder(const std::string& root) {
    return LogFolder(root, std::filesystem::read_symlink("/proc/self/exe").filename().string());
}

}  // namespace updater_test
