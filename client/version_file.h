// The client's version as the stand-in records it: "version.txt" beside the
// program, without trailing line ends and spaces, or "none" when it is
// missing. Header-only, shared by both backends' stand-ins.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tavlin_client {

inline std::string ReadVersion(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return "none";
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace tavlin_client
