// UTF-16 to UTF-8 for the names handed to the display and to pango, through
// the system's converter (unpaired surrogates become '?').
#pragma once

#include <string>
#include <string_view>

namespace platform::detail {

std::string ToUtf8(std::u16string_view text);

}  // namespace platform::detail
