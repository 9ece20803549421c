// Named mutexes. Linux: flock()ed files in the per-user runtime folder; the
// kernel drops a lock when its holder dies. Windows: kernel mutexes
// (CreateMutexW); a mutex its holder left abandoned counts as acquired.
// One owner thread per object.
#pragma once

#include <string>

#ifdef _WIN32
#include "platform/unique_handle.h"
#else
#include "platform/unique_fd.h"
#endif

namespace platform {

class NamedMutex {
public:
    // Opens (creating) the lock for `name`. Linux: a lock file, false without
    // a runtime folder; characters outside [A-Za-z0-9._{}-] in the name become
    // '_'. Windows: the mutex of that name in the session's namespace; a '\'
    // becomes '_' (it would pick another namespace).
    bool Create(const std::string& name);
    // Takes the lock, waiting up to timeoutMs (0 = just try, -1 = for ever).
    bool Acquire(int timeoutMs);
    // True when another process holds it now ("already exists"). Windows
    // mutexes belong to a thread, so there this is also true for another
    // thread of this process, and false for this thread's own.
    bool HeldElsewhere();
    void Release();

#ifdef _WIN32
    NamedMutex() = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    // Releases a mutex still held: closing the handle alone would leave it
    // owned by this thread until it ends.
    ~NamedMutex() { Release(); }
#endif

private:
#ifdef _WIN32
    UniqueHandle handle_;
#else
    UniqueFd fd_;
#endif
    bool held_ = false;
};

}  // namespace platform
