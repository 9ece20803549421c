// What the journal's readers and writers on every platform share besides
// the public format functions.
#pragma once

#include <string>
#include <vector>

namespace tavlin::unpack {

inline constexpr const char* kJournalHeader = "tavlin-journal 1";

// A journal path's components ("a/b" -> {"a", "b"}).
std::vector<std::string> SplitJournalPath(const std::string& path);

}  // namespace tavlin::unpack
