// The commit journal of a package being applied to a folder.
//
// One file in the root of the installation, ".tavlin-journal", records
// every folder staging creates and every staged file with the target it is
// to replace, each written before the thing it names exists, so a killed run
// leaves nothing unrecorded. A final "commit" record, made durable after
// all staged data, says that every entry staged: from then on the staged
// files replace their targets, and a run that dies half way is finished by
// the next one (roll forward). Without that record the next run removes
// the staged files and the folders (roll back). The holder keeps an
// exclusive lock on the journal, so two runs never work on one root at once.
//
// Lines: "tavlin-journal 1", "D <folder>", "F <staged> <target>",
// "C <number of F lines>"; paths relative to the root with "/" between
// components and bytes below 0x21, "%" and 0x7f written as %XX.
#pragma once

#include <string>
#include <vector>

namespace tavlin::unpack {

inline constexpr const char* kJournalName = ".tavlin-journal";

struct StagedPair {
    std::string staged;  // relative to the root
    std::string target;
};

// What a journal holds once read back.
struct JournalContent {
    std::vector<std::string> folders;  // in the order they were created
    std::vector<StagedPair> files;
    bool committed = false;  // a commit record that matches the file records
};

JournalContent ParseJournal(const std::string& text);

// What finishing a journal left by another run did.
struct Recovery {
    bool found = false;          // there was a journal to finish
    bool rolledForward = false;  // it was committed: the staged files went in
    std::size_t files = 0;       // staged files moved in or removed
    std::size_t folders = 0;     // folders removed (roll back only)
    std::vector<std::string> problems;  // what could not be done, printable
};

// Finishes a journal a killed run left in `rootDir`: rolls a committed one
// forward, otherwise removes what its staging made. Cheap when there is
// none (one failed open). Waits up to `lockWaitMs` for a run in progress.
Recovery RecoverInterrupted(const std::string& rootDir, int lockWaitMs = 120000);

// Escapes bytes that are not safe in a journal line (see above).
std::string EncodeJournalPath(const std::string& path);
bool DecodeJournalPath(const std::string& text, std::string& out);

}  // namespace tavlin::unpack
