// Where this test program's updater log goes. On Linux a test moves it into
// a folder of its own ($XDG_STATE_HOME); Windows always logs to the local
// application-data folder, so there the root is not used and tests tell
// their files apart by name.
#pragma once

#include <string>

namespace updater_test {

// Sends the log of this process below `root` where the system allows it.
void UseLogRoot(const std::string& root);

// The folder this program's log files go to after UseLogRoot(root).
std::string ProgramLogFolder(const std::string& root);

}  // namespace updater_test
