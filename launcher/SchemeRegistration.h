// The launcher as the handler of tavlin:// links. One implementation per
// backend (linux_scheme.cpp: a desktop entry; win32_scheme.cpp: the
// registry). Main thread only.
#pragma once

#include <string>

namespace launcher {

// The command text registered for the launcher at `launcherPath`. Linux: a
// desktop entry's Exec line, the quoted path and "%u". Windows: the quoted
// path and the quoted "%1".
std::string SchemeCommand(const std::string& launcherPath);

// Writes the registration with `command`; false when it cannot be written.
bool RegisterScheme(const std::string& command);

}  // namespace launcher
