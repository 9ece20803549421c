#include "../ArgumentPath.h"

#include <system_error>

#include "platform/text.h"

namespace fs = std::filesystem;

namespace zlibdll {

bool ToPath(const char16_t* text, fs::path* out) {
    if (!text || !*text) return false;
    bool ok = false;
    std::string narrow = platform::Utf16ToUtf8(text, platform::Unmappable::Fail, &ok);
    if (!ok || narrow.empty()) return false;
    std::error_code error;
    // Lexical: a package or folder that does not exist yet still maps.
    *out = fs::absolute(narrow, error).lexically_normal();
    if (error) return false;
    if (!out->has_filename() && out->has_parent_path() && *out != out->root_path())
        *out = out->parent_path();  // "X/" and "X" name the same folder
    return true;
}

std::string Utf8(const fs::path& path) { return path.string(); }

}  // namespace zlibdll
