// Entry names and paths as they may appear in a log record: a name from a
// package must not be able to start a new line or drive a terminal.
#pragma once

#include <string>
#include <string_view>

namespace tavlin::unpack {

// Control characters (C0, DEL, the C1 range and the Unicode line and
// paragraph separators) become "\xNN" escapes of their bytes; everything
// else stays as it is.
std::string Printable(std::string_view text);

}  // namespace tavlin::unpack
