#include "user_env.h"

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tavlin_test {

UserFolders MakeUserFolders(const std::string& root) {
    UserFolders u{root + "/home", root + "/home/.local/share", root + "/home/.config",
                  root + "/home/.local/state", root + "/runtime"};
    for (const std::string* dir : {&u.home, &u.dataHome, &u.configHome, &u.stateHome, &u.runtimeDir}) {
        std::error_code ec;
        fs::create_directories(*dir, ec);
        if (ec) throw std::runtime_error("cannot make " + *dir + ": " + ec.message());
    }
    if (::chmod(u.runtimeDir.c_str(), 0700) != 0)
        throw std::runtime_error("cannot chmod " + u.runtimeDir);
    return u;
}

Environment UserEnvironment(const UserFolders& user, const std::string& lang) {
    Environment env = Environment::Inherit();
    env.Set("HOME", user.home);
    env.Set("XDG_DATA_HOME", user.dataHome);
    env.Set("XDG_CONFIG_HOME", user.configHome);
    env.Set("XDG_STATE_HOME", user.stateHome);
    env.Set("XDG_RUNTIME_DIR", user.runtimeDir);
    // Keep the system's data folders but not a desktop's own configuration.
    env.Unset("XDG_CONFIG_DIRS");
    env.Unset("XDG_CURRENT_DESKTOP");
    env.Unset("DESKTOP_SESSION");
    env.Unset("DISPLAY");
    env.Unset("WAYLAND_DISPLAY");
    env.Set("LANG", lang);
    env.Set("LC_ALL", lang);
    env.Set("LC_MESSAGES", lang);
    return env;
}

}  // namespace tavlin_test
