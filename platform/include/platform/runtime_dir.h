// The per-user runtime folder that holds the client's pipe and the lock files
// of named mutexes. Linux only: Windows has kernel names for both.
// Any thread.
#pragma once

#ifdef _WIN32
#error "runtime_dir.h is for the Linux build"
#endif

#include <string>

namespace platform {

// $XDG_RUNTIME_DIR when it is a real directory (not a symbolic link) owned by
// this user with mode 0700; else /tmp/tavlin-UID, created with mode 0700 when
// missing and checked the same way. Empty when neither passes: nothing may be
// placed in, or trusted from, a folder someone else controls.
std::string UserRuntimeDir();

// The check itself, for one path.
bool IsPrivateDir(const std::string& path);

// The fallback step for one path: creates the folder with mode 0700 when it
// is missing, then returns the path if it passes IsPrivateDir, else empty.
// A folder that already exists is never altered, only checked.
std::string EnsurePrivateDir(const std::string& path);

}  // namespace platform
