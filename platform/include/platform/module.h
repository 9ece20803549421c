// The running program's own path, and the process's current directory.
// Any thread.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable (readlink of /proc/self/exe; Windows:
// GetModuleFileNameW), UTF-8. False when it cannot be read.
bool GetModulePath(std::string& path);

// Folder of the running executable, ending in "/" (Windows: "\\"). False on
// failure.
bool GetModuleFolder(std::string& folder);

// Current directory, UTF-8, without a trailing "/" (except for "/" itself;
// Windows: a drive's root keeps its "\\").
// Empty on failure.
std::string GetCurrentDir();

// Make `dir` the current directory; false on failure.
bool SetCurrentDir(const std::string& dir);

}  // namespace platform
