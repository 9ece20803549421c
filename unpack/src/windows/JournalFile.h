// The journal file of a run on Windows: opened without sharing, which is
// the lock that keeps a second run out of the root until this one is done.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "unpack/Journal.h"

namespace tavlin::unpack {

class Journal {
public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates or takes over the journal in `root` (a \\?\ path) and holds
    // it, waiting up to `lockWaitMs` for another run that holds it. A
    // journal left by a killed run is finished first; `recovered` says what
    // that did. False (with `error`) when the journal cannot be created,
    // held or written.
    bool Open(const std::wstring& root, int lockWaitMs, Recovery& recovered, std::string& error);
    // After a failed Open: the folder is held by another run, or by an
    // earlier commit that cannot be finished yet; a package was not tried.
    bool blocked() const { return blocked_; }

    bool AddFolder(const std::string& folder, std::string& error);
    bool AddFiles(const std::vector<StagedPair>& files, std::string& error);
    // Writes the commit record and flushes the journal to the disk. Every
    // staged file must have been flushed before. On failure the record is
    // taken back, so the staging can be undone.
    bool Commit(std::size_t fileCount, std::string& error);
    // Undoes this run's staging from what the journal records, then removes
    // the journal.
    Recovery RollBack();
    // Removes and lets go of the journal: the run is over, either way.
    void Finish();

    ~Journal();

private:
    bool Append(const std::string& text, std::string& error);

    std::wstring root_;
    platform::UniqueHandle file_;
    uint64_t size_ = 0;  // bytes written so far
    bool blocked_ = false;
};

// Moves a staged file over its target: a read-only target is made writable
// first, a running program is renamed out of the way, and the move goes
// through to the disk before it returns. False (with `why`) when the target
// stays as it was.
bool ReplaceTarget(const std::wstring& staged, const std::wstring& target, std::string& why);

}  // namespace tavlin::unpack
