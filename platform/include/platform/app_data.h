// The user's folder for a program's own state such as logs. Any thread.
#pragma once

#include <string>

namespace platform {

// Linux: $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
// Windows: the local application-data folder (FOLDERID_LocalAppData).
// UTF-8, without a trailing separator; empty when it cannot be found. The
// folder is not created.
std::string LocalAppDataDir();

}  // namespace platform
