// What the journal's readers and writers on every platform share besides
// the public format functions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "unpack/Journal.h"

namespace tavlin::unpack {

inline constexpr const char* kJournalHeader = "tavlin-journal 1";

// A journal path's components ("a/b" -> {"a", "b"}).
std::vector<std::string> SplitJournalPath(const std::string& path);

// The records a run appends, each a whole line, as the reader parses them:
// a folder the run made, the staged files with their targets, the commit.
std::string FolderRecord(const std::string& folder);
std::string FilesRecord(const std::vector<StagedPair>& files);
std::string CommitRecord(std::size_t fileCount);

}  // namespace tavlin::unpack
