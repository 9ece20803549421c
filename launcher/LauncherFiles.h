// The few file operations the pending-update steps need, on UTF-8 paths.
// One implementation per backend (linux_files.cpp, win32_files.cpp).
// Main thread only.
#pragma once

#include <string>

namespace launcher {

// True when something exists at `path`.
bool FileExists(const std::string& path);

// Deletes the file at `path`; a missing file or a failure is ignored.
void RemoveFile(const std::string& path);

// Moves the file `from` to `to`, replacing `to`. The result is the whole
// file at `to` or `to` untouched; across file systems it is copied and
// `from` removed. False with the reason in `why` when it stays at `from`.
bool MoveFileReplacing(const std::string& from, const std::string& to, std::string& why);

}  // namespace launcher
