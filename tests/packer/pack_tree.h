// Trees to pack, what a tree holds (with times), and tavlin-pack as a process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"

namespace packer_test {

// A file below `root` (folders made as needed) with its mode and mtime.
void PutFile(const std::string& root, const std::string& relative, const std::string& data, mode_t mode = 0644,
             int64_t mtime = 1700000000);
void PutLink(const std::string& root, const std::string& relative, const std::string& target);
void PutFolder(const std::string& root, const std::string& relative);
// Sets the mtime of a file or folder (not following links).
void SetTime(const std::string& path, int64_t mtime);

// Text that deflates well, and bytes that do not; both follow `seed`.
std::string Text(std::size_t size, uint32_t seed);
std::string Noise(std::size_t size, uint32_t seed);

// A tree with what a package must carry: nested and empty folders, a program
// and a script, a read-only file, an empty file, a name in UTF-8, links to a
// file and to a folder inside the tree, files of several pieces, old times.
void MakeSampleTree(const std::string& root);

// Everything below `root`: for files their mode, data and mtime, for links
// their target, folders by name. Names in `skip` (first level) are left out.
std::map<std::string, std::string> TreeState(const std::string& root, const std::set<std::string>& skip = {});
// Only the entries of `expected` are looked up in `actual`.
std::vector<std::string> Differences(const std::map<std::string, std::string>& expected,
                                     const std::map<std::string, std::string>& actual);

std::string PackerPath();
// Runs tavlin-pack with `args`, bounded in time.
tavlin_test::RunResult Pack(const std::vector<std::string>& args,
                            const tavlin_test::Environment& env = tavlin_test::Environment::Inherit());
// The value of a "name: value" line of the packer's report.
std::string ReportValue(const std::string& report, const std::string& name);

}  // namespace packer_test
