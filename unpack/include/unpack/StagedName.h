// The names files are staged under beside their targets. Pure functions;
// any thread.
#pragma once

#include <string>

namespace tavlin::unpack {

// Every staged name holds this marker (".<name>.tavlin-XXXXXX", or
// ".tavlin-XXXXXX" when that would be too long for a file name).
inline constexpr const char* kStagedMarker = ".tavlin-";

// A fresh staged name for a file called `name`.
std::string StagedNameFor(const std::string& name);

// Whether `name` has the form of a staged name (six letters or digits after
// the marker, not all of them lower-case letters).
bool LooksStaged(const std::string& name);

}  // namespace tavlin::unpack
