// From a zip entry's stored name to the place it is written below the root.
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlin::unpack {

// Strips what would place an entry outside the root, repeating until nothing
// applies: a leading drive ("C:"), a leading "\" or "/", and everything up to
// and including the first "\..\", "\../", "/../" or "/..\" (tried in that
// order).
std::u16string CleanEntryName(std::u16string name);

// A cleaned name as folders and a last component, relative to the root.
struct EntryPath {
    std::vector<std::string> components;  // empty: the root itself
    bool endsWithSeparator = false;       // the name ended in "/" or "\"

    std::string Joined() const;  // components separated by "/"
};

// Splits a name on "/" and "\", drops empty and "." components and resolves
// ".." lexically. Nothing when a ".." would climb above the root.
std::optional<EntryPath> ResolveEntryPath(std::string_view cleanedName);

// The stored name (UTF-8 bytes, as read from the archive) to its place:
// nothing when the name holds a NUL or still leaves the root once cleaned.
std::optional<EntryPath> EntryPathFromName(std::string_view storedName);

// Why Windows cannot hold `component` as a file or folder name: a reserved
// device name (CON, NUL, COM1, "nul.txt", ...), a trailing dot or space, a
// control character or one of <>:"|?*, more than 255 UTF-16 units. Empty
// when it can. Such a name is
// refused, never written under another name.
std::string WindowsNameProblem(std::string_view component);

// Whether a symbolic link placed in `linkFolder` (components below the root)
// with the given target stays inside the root, resolving the target
// lexically. Absolute targets, targets with a NUL and targets with a ".."
// after a named component are refused.
bool LinkTargetInsideRoot(const std::vector<std::string>& linkFolder, std::string_view target);

}  // namespace tavlin::unpack
