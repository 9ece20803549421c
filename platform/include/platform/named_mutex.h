// Named mutexes as flock()ed files in the per-user runtime folder. The kernel
// drops a lock when its holder dies, which is Windows' "abandoned counts as
// acquired". One owner thread per object.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace platform {

class NamedMutex {
public:
    // Opens (creating) the lock file for `name`; false without a runtime
    // folder. Characters outside [A-Za-z0-9._{}-] in the name become '_'.
    bool Create(const std::string& name);
    // Takes the lock, waiting up to timeoutMs (0 = just try, -1 = for ever).
    bool Acquire(int timeoutMs);
    // True when another process holds it now ("already exists").
    bool HeldElsewhere();
    void Release();

private:
    UniqueFd fd_;
    bool held_ = false;
};

}  // namespace platform
