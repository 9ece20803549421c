#include "app/StartedFolder.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// The launcher the updater starts from the installation (see FillJobPaths).
constexpr const char* kLauncherName = "TavlinLaunch.exe";

}  // namespace

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
    const fs::path folder = path.parent_path();
    if (!fs::equivalent(folder, real.parent_path(), error)) return {};
    // A link to the work folder from anywhere else (a home folder, the
    // current folder under /proc) would make its parent the installation,
    // to be unpacked over: only a parent with the launcher is one.
    if (folder != real.parent_path() && !fs::is_regular_file(folder.parent_path() / kLauncherName, error))
        return {};
    std::string text = folder.string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}
