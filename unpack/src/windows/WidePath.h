// Paths for the Windows file calls: wide, absolute, with the \\?\ prefix so
// that neither MAX_PATH nor the Win32 name rewriting (trailing dots, device
// names) applies; entry names are checked against those rules beforehand.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tavlin::unpack {

std::wstring Widen(const std::string& utf8);

// `path` (UTF-8, absolute or relative to the current folder) as an absolute
// \\?\ path without a trailing separator. False when it is not valid text.
bool LongAbsolutePath(const std::string& path, std::wstring& out);

// The first `count` components below `root`, joined with backslashes.
std::wstring Below(const std::wstring& root, const std::vector<std::string>& components, std::size_t count);
std::wstring Below(const std::wstring& root, const std::vector<std::string>& components);

// The system's message for an error code, in UTF-8 on one line.
std::string ErrorText(DWORD code);

// Whether each of the first `count` components below `root` is a real
// folder, not a junction or a link to one; a missing one counts as none.
// `why` names the first that is something else.
bool RealFolders(const std::wstring& root, const std::vector<std::string>& components, std::size_t count,
                 std::string& why);

// Removes a file, read-only or not. False when it exists and stays.
bool RemoveFile(const std::wstring& path);

}  // namespace tavlin::unpack
