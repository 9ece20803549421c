// Applying what an earlier update left in the installation folder. Main
// thread only; every failure is ignored and the launcher goes on.
#pragma once

#include <string>

// The launcher's folder, ending in its separator ("/"; Windows: "\\"). False
// when it cannot be found.
bool GetModuleDirA(std::string& dir);

// Finishes an update that a killed run left in the launcher's folder: a
// committed one is completed, a half-staged one removed. Logged when there
// was one.
void FinishInterruptedUpdate();

// Removes the leftovers of the last download in "temp" and moves a
// downloaded "temp/update.zip" up into the launcher's folder (kept in
// "temp" when it cannot be moved).
void ApplyPendingUpdateFiles();

// When "update.zip" lies in the current folder: ends the client's cache
// assistant, applies the archive to the current folder (all of it or
// nothing) and deletes it, whatever the outcome.
void UnpackUpdateArchive();

// The same steps for a given folder, for callers that know it.
namespace pending_update {

// FinishInterruptedUpdate for `dir`.
void FinishInterruptedIn(const std::string& dir);

// Deletes the leftovers in dir + "temp/" and moves dir + "temp/update.zip"
// up to dir + "update.zip" (a rename, or a whole copy across file
// systems). `dir` ends in "/".
void CleanTempFolder(const std::string& dir);

// Applies dir + "/update.zip", when there is one, to `dir` and deletes it,
// whatever the outcome. A failure is logged in one record.
void UnpackArchiveIn(const std::string& dir);

}  // namespace pending_update
