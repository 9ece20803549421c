// The characters that separate names in this system's paths (Windows: both
// slashes).
#pragma once

#include <string_view>

extern const std::u16string_view kPathSeparators;
