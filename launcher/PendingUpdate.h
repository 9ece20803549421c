// Applying what an earlier update left in the installation folder. Main
// thread only; every failure is ignored and the launcher goes on.
#pragma once

#include <string>

// The launcher's folder, ending in "/". False when it cannot be found.
bool GetModuleDirA(std::string& dir);

// Removes the leftovers of the last download in "temp" and moves a
// downloaded "temp/update.zip" up into the launcher's folder.
void ApplyPendingUpdateFiles();

// When "update.zip" lies in the current folder: ends the client's cache
// assistant, unpacks the archive over the current folder and deletes it,
// whatever the unpacking did.
void UnpackUpdateArchive();

// The same steps for a given folder, for callers that know it.
namespace pending_update {

// Deletes the leftovers in dir + "temp/" and moves dir + "temp/update.zip"
// up to dir + "update.zip". `dir` ends in "/".
void CleanTempFolder(const std::string& dir);

// Unpacks dir + "/update.zip", when there is one, into `dir` and deletes it,
// whatever the unpacking did. Skipped entries are logged.
void UnpackArchiveIn(const std::string& dir);

}  // namespace pending_update
