// Applying a zip archive to a root folder, all or nothing.
//
// Stage: every entry is written under a staged name beside its target and
// checked (declared size, CRC, name rules, the target can be replaced)
// without touching an installed file. Commit: only when every entry staged,
// the staged data is made durable (one syncfs), a commit record is written
// to the journal (see Journal.h), and the staged files replace their
// targets. When any entry fails to stage, everything staging made is
// removed and the root stays as it was.
//
// Every entry lands below the root or the package fails: names are cleaned
// and resolved lexically, folders are walked without following symbolic
// links. When a name occurs twice, the later entry wins.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "unpack/Journal.h"

namespace tavlin::unpack {

struct UnpackOptions {
    // Staging threads; 0 chooses by the amount of data (1 or 2).
    unsigned threads = 0;
    // Files (relative to the root, "/" between folders) that must be
    // executable once in place. When the package's mode leaves one without
    // its execute bit but its data is a program (ELF or "#!"), it is made
    // executable; otherwise the package fails.
    std::vector<std::string> executables;
    // How long to wait for another run that applies a package to this root.
    int lockWaitMs = 120000;
};

struct UnpackResult {
    bool rootUsable = false;  // the root could be opened and its journal written
    bool opened = false;      // the archive could be opened
    bool applied = false;  // every entry staged and replaced its target
    // The commit record was written but a staged file could not replace its
    // target: the journal stays, and the next run finishes the commit.
    bool commitIncomplete = false;
    // Another run holds the folder, an earlier commit cannot be finished
    // yet, or (Windows) another program holds a file the package would
    // replace: nothing was changed, and the package may be tried again later.
    bool postponed = false;
    std::size_t written = 0;  // files and links put in place
    std::size_t unchanged = 0;  // of them, files that already held the entry's bytes and mode
    std::size_t folders = 0;  // folder entries made sure of
    // Why the package was not applied: the entry's stored name (empty when
    // the failure is not one entry's) and the reason, both printable.
    std::string failedEntry;
    std::string reason;
    Recovery recovered;  // what finishing an earlier, killed run did
};

// Applies `zipPath` to `rootDir` (created when missing). A journal a killed
// run left in `rootDir` is finished first. Any thread; calls on different
// roots may run at once, calls on one root wait for each other.
UnpackResult UnpackArchive(const std::string& zipPath, const std::string& rootDir,
                           const UnpackOptions& options = {});

// One line for a log record: "entry \"NAME\": REASON", or the reason alone.
std::string DescribeFailure(const UnpackResult& result);

// One line for a log record about a finished journal; empty when there was
// none.
std::string DescribeRecovery(const Recovery& recovery);

}  // namespace tavlin::unpack
