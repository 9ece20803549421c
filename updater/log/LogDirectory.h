// Where the updater's log files go:
// $XDG_STATE_HOME (default ~/.local/state) /vrek/logs/Updater/<program>;
// Windows: the local application-data folder \vrek\logs\Updater\<program>.
#pragma once

#include <string>
#include <string_view>

namespace updater_log {

// The folder for the program's log files, created when missing (folders
// made here get mode 0700). Empty when it cannot be determined or created.
// Any thread.
std::string LogDirectory();

// The <program> part for a module path: its file name, cut before the last
// ".exe" (case-sensitive); "temp" when the path is empty or has no "/"
// (Windows: no "\\" or "/").
std::string LogSubFolderFor(std::string_view modulePath);

}  // namespace updater_log
