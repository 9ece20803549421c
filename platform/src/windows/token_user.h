// Whose a process is: the user named by its access token.
#pragma once

#include <windows.h>

#include <vector>

namespace platform {

class TokenUser {
public:
    // The user of `process` (opened with at least
    // PROCESS_QUERY_LIMITED_INFORMATION); empty when it cannot be read.
    static TokenUser Of(HANDLE process);
    static TokenUser Current() { return Of(::GetCurrentProcess()); }

    bool valid() const { return !buf_.empty(); }
    // False when either side could not be read: an unknown owner is never
    // taken for ours.
    bool operator==(const TokenUser& other) const;

private:
    PSID sid() const;
    std::vector<BYTE> buf_;
};

// True when `process` runs as the same user as this process.
bool IsOurProcess(HANDLE process);

}  // namespace platform
