#include "platform/app_data.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

namespace {

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

}  // namespace

std::string LocalAppDataDir() {
    // A relative XDG value is to be ignored.
    const char* xdg = std::getenv("XDG_STATE_HOME");
    std::string dir;
    if (xdg && xdg[0] == '/') {
        dir = xdg;
    } else {
        std::string home = HomeDir();
        if (home.empty()) return {};
        if (home.back() != '/') home += '/';
        dir = home + ".local/state";
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace platform
