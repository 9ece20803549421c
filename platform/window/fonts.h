// The display's fonts: the family a layout asks for, made one that exists.
#pragma once

#include <string>

namespace platform::detail {

// The family pango is given for `family`. Linux: the name itself (fontconfig
// aliases map the Windows UI face). Windows: the name when the font map has
// it, else the first UI face it has with Chinese, so text never comes out as
// missing-glyph boxes.
std::string ResolveFontFamily(const char* family);

}  // namespace platform::detail
