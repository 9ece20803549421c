// What a delta package holds: the entries of the new tree that an
// installation of the old tree lacks or holds differently.
#pragma once

#include <string>
#include <vector>

#include "packer/TreeEntry.h"

namespace tavlin::packer {

struct Delta {
    // Folders only in the new tree; files that are new or differ in content
    // or permission bits; links that are new or point elsewhere. Sorted.
    std::vector<TreeEntry> entries;
    // Paths only in the old tree (a folder once, not what it holds): a
    // package never deletes, so these stay in an installation.
    std::vector<std::string> onlyInOld;
    // Why the delta cannot be installed over the old tree (a folder that
    // would have to become a file, or the other way round), or why files
    // could not be compared. Empty when the delta is sound.
    std::vector<std::string> problems;
};

// Compares two scanned trees (entries sorted by package name, as ScanTree
// gives them); files of equal size are compared byte by byte.
Delta PlanDelta(const std::string& newRoot, const std::vector<TreeEntry>& newEntries, const std::string& oldRoot,
                const std::vector<TreeEntry>& oldEntries);

}  // namespace tavlin::packer
