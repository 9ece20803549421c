// Process and module utilities shared by the updater's parts.
// All functions are re-entrant; any thread.
#pragma once

#include <string>
#include <string_view>

namespace zeb {

// Folder of the running program, ending in "/"; empty when it cannot be read.
// The folder given to UseModuleFolder, else the one the system names.
std::u16string GetModuleDir();

// Makes `folder` (ending in "/") the program's folder for GetModuleDir: the
// folder it was started from, where the system would name another (Linux:
// with every link resolved). Before any other thread starts.
void UseModuleFolder(std::string folder);

// UTF-16 <-> the narrow text of this system (UTF-8). A unit without a narrow
// form (an unpaired surrogate) becomes "?"; invalid UTF-8 becomes U+FFFD.
std::string ToNarrow(std::u16string_view text);
std::u16string ToWide(std::string_view text);

// Terminates the user's first "tavlin.exe", then first "qelclient.exe"
// (names compared without case for A-Z), logging each outcome. True only
// when "qelclient.exe" was found and terminated.
bool KillOrbProcess();

// KillOrbProcess, then, when it returned true, waits until no "tavlin.exe"
// is found any more, looking every 100 ms for at most about 3 s.
void KillOrbProcessAndWait();

// `folder` (with its trailing "/") followed by "InstallZebApp.dll".
std::u16string GetInstallDllPath(std::u16string_view folder);

// Loads the shared object at `path` and calls its "DllRegisterServer"
// export. A missing file, a load failure or a missing export leaves the
// registration undone without a report.
void RegisterServerDll(std::u16string_view path);

}  // namespace zeb
