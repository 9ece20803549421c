// Reading a tree from disk, and the rules a tree must meet to be installed
// exactly as it is.
#pragma once

#include <string>
#include <vector>

#include "packer/TreeEntry.h"

namespace tavlin::packer {

// Walks `root` without following symbolic links and lists every folder,
// file and link below it (not the root itself), sorted by package name.
// False with `problems` when something cannot be read; special files
// (fifos, sockets, devices) are listed as problems too.
bool ScanTree(const std::string& root, std::vector<TreeEntry>& entries, std::vector<std::string>& problems);

// What in `entries` an installation would refuse or could not reproduce:
// names the launcher would read differently or reserves, links that lead
// out of the tree, modes and times a package cannot carry, programs the
// installation starts that are not executable. One line per problem,
// empty when the tree can be packed.
std::vector<std::string> InstallProblems(const std::vector<TreeEntry>& entries);

}  // namespace tavlin::packer
