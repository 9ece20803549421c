// Opens folders below an extraction root without ever following a symbolic
// link, creating missing ones, and keeps the descriptors of folders already
// walked. Owned and used by one thread.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/unique_fd.h"

namespace tavlin::unpack {

class FolderWalker {
public:
    // `rootFd` is borrowed and must outlive the walker.
    explicit FolderWalker(int rootFd) : rootFd_(rootFd) {}

    // The folder made of the first `count` components, each created when
    // missing (mode 0755 before the umask). -1 when a component exists but is
    // not a real folder (a symbolic link, a file) or cannot be made; `why`
    // then names the reason. The descriptor stays valid until the next call.
    int Open(const std::vector<std::string>& components, std::size_t count, std::string* why);

private:
    // Bounds the descriptors held at once; packages list most entries of a
    // folder together, so a small cache serves nearly every lookup.
    static constexpr std::size_t kMaxCached = 64;

    int rootFd_;
    std::unordered_map<std::string, platform::UniqueFd> cache_;
    std::string key_;
};

}  // namespace tavlin::unpack
