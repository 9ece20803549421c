// The journal file of a run on Linux: created in the root's descriptor,
// held under an exclusive flock.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "unpack/Journal.h"

namespace tavlin::unpack {

class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates or takes over the journal in `rootFd` (borrowed; must outlive
    // this object) and locks it, waiting up to `lockWaitMs` for another run
    // that holds it. A journal left by a killed run is finished first;
    // `recovered` says what that did. False (with `error`) when the journal
    // cannot be created, locked or written.
    bool Open(int rootFd, int lockWaitMs, Recovery& recovered, std::string& error);
    // After a failed Open: the folder is held by another run, or by an
    // earlier commit that cannot be finished yet; a package was not tried.
    bool blocked() const { return blocked_; }

    bool AddFolder(const std::string& folder, std::string& error);
    bool AddFiles(const std::vector<StagedPair>& files, std::string& error);
    // Writes the commit record and makes the journal durable. The staged
    // data must be durable before (one syncfs of the root's file system).
    // On failure the record is taken back, so the staging can be undone.
    bool Commit(std::size_t fileCount, std::string& error);
    // Undoes this run's staging from what the journal records (the same
    // steps as the recovery of a killed run), then removes the journal.
    Recovery RollBack();
    // Removes and unlocks the journal: the run is over, either way.
    void Finish();

    ~Journal();

private:
    bool Append(const std::string& text, std::string& error);

    int rootFd_ = -1;
    platform::UniqueFd fd_;
    off_t size_ = 0;  // bytes written so far
    bool blocked_ = false;
};

// RecoverInterrupted for a root already open.
Recovery RecoverInterruptedAt(int rootFd, int lockWaitMs = 120000);

}  // namespace tavlin::unpack
