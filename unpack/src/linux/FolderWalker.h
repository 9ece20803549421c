// Opens folders below an extraction root without ever following a symbolic
// link, and keeps the descriptors of folders already walked. A walker that
// may create folders tells its hook about each one before making it.
// Owned and used by one thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"

namespace tavlin::unpack {

class FolderWalker {
public:
    // Called with a folder (components joined by "/") just before it is
    // created; false (with the reason) stops the walk.
    using CreateHook = std::function<bool(const std::string& folder, std::string& why)>;

    // `rootFd` is borrowed and must outlive the walker. Without a hook,
    // missing folders are not created.
    explicit FolderWalker(int rootFd, CreateHook onCreate = {})
        : rootFd_(rootFd), onCreate_(std::move(onCreate)) {}

    // The folder made of the first `count` components. -1 when a component
    // exists but is not a real folder (a symbolic link, a file), is missing
    // and may not be created, or cannot be made; `why` then names the
    // reason. New folders get mode 0755 before the umask. The descriptor
    // stays valid until the next call.
    int Open(const std::vector<std::string>& components, std::size_t count, std::string* why);

private:
    // Bounds the descriptors held at once; packages list most entries of a
    // folder together, so a small cache serves nearly every lookup.
    static constexpr std::size_t kMaxCached = 64;

    int OpenOrMake(int parent, const std::string& name, std::string* why);

    int rootFd_;
    CreateHook onCreate_;
    std::unordered_map<std::string, platform::UniqueFd> cache_;
    std::string key_;
};

}  // namespace tavlin::unpack
