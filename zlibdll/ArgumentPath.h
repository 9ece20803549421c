// The paths ExtractZipToDir is given, as absolute, lexically normal paths.
#pragma once

#include <filesystem>
#include <string>

namespace zlibdll {

// False when `text` is missing, empty or not valid UTF-16.
bool ToPath(const char16_t* text, std::filesystem::path* out);

// A path as UTF-8, as the unpacker takes it.
std::string Utf8(const std::filesystem::path& path);

}  // namespace zlibdll
