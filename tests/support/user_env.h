// A throw-away desktop user: its own home, XDG data/config/state folders and
// a private runtime folder, so a program under test registers its URL
// scheme, takes its locks and serves its pipe there and nowhere else.
#pragma once

#include <string>

#include "child_process.h"

namespace tavlin_test {

struct UserFolders {
    std::string home, dataHome, configHome, stateHome, runtimeDir;
};

// Makes the folders below `root` (runtime folder with mode 0700) and returns
// them; throws std::runtime_error when they cannot be made.
UserFolders MakeUserFolders(const std::string& root);

// This process's environment with HOME and the XDG variables pointing at
// `user`, DISPLAY removed and LANG/LC_ALL/LC_MESSAGES set to `lang`.
Environment UserEnvironment(const UserFolders& user, const std::string& lang = "en_US.UTF-8");

}  // namespace tavlin_test
