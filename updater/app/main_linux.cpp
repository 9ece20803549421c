#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/CmdLineParser.h"
#include "app/UpdaterMain.h"
#include "app/zebUtil.h"

namespace {

// The folder of `started`, the path the program was started by (absolute, or
// relative to the folder it was started in), when it names the running
// program; else "" (a bare name was found through PATH). The system names
// the program with every link resolved, and the installation's folders are
// found from the program's: a work folder reached through a link (temp on
// another disk) would have a forced update unpacked beside the link's
// target and the launcher looked for there.
std::string StartedFolder(const char* started) {
    namespace fs = std::filesystem;
    if (!started || !std::strchr(started, '/')) return {};
    std::error_code error;
    const fs::path path = fs::absolute(started, error).lexically_normal();
    if (error) return {};
    const fs::path real = fs::read_symlink("/proc/self/exe", error);
    if (error || !fs::equivalent(path, real, error)) return {};
    // The same folder reached another way; a link to the program file itself
    // from another folder leaves the system's.
    if (!fs::equivalent(path.parent_path(), real.parent_path(), error)) return {};
    std::string folder = path.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

int main(int argc, char** argv) {
    zeb::UseModuleFolder(StartedFolder(argc > 0 ? argv[0] : nullptr));
    return RunUpdater(nullptr, argc, CommandLineFromArgs(argc, argv));
}
