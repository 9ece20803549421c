#include <filesystem>
#include <string>
#include <system_error>

#include "app/CmdLineParser.h"
#include "app/UpdaterMain.h"
#include "app/zebUtil.h"

namespace {

// The folder of `started`, the path the program was started by, when it is
// absolute and names the running program; else "". The system names the
// program with every link resolved, and the installation's folders are
// found from the program's: a work folder reached through a link (temp on
// another disk) would have a forced update unpacked beside the link's
// target and the launcher looked for there.
std::string StartedFolder(const char* started) {
    if (!started || started[0] != '/') return {};
    std::error_code error;
    if (!std::filesystem::equivalent(started, "/proc/self/exe", error)) return {};
    std::string folder = std::filesystem::path(started).lexically_normal().parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    zeb::UseModuleFolder(StartedFolder(argc > 0 ? argv[0] : nullptr));
    return RunUpdater(nullptr, argc, CommandLineFromArgs(argc, argv));
}
