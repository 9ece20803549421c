#include "zlibdll/ExtractZipToDir.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/text.h"
#include "unpack/Unpack.h"

namespace fs = std::filesystem;

namespace {

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

// The folder the entries are relative to: the child of `folder` on the way
// to `package`, or `folder` itself when the package is not below it (or lies
// directly in it).
fs::path UnpackRoot(const fs::path& package, const fs::path& folder) {
    const fs::path relative = package.lexically_relative(folder);
    if (relative.empty() || *relative.begin() == "..") return folder;
    auto first = relative.begin();
    if (std::next(first) == relative.end()) return folder;
    return folder / *first;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ExtractZipToDir(const char16_t* package,
                                                                      const char16_t* folder, int) {
    fs::path packagePath, folderPath;
    if (!ToPath(package, &packagePath) || !ToPath(folder, &folderPath)) return kExtractBadArguments;
    const fs::path root = UnpackRoot(packagePath, folderPath);
    tavlin::unpack::UnpackResult result = tavlin::unpack::UnpackArchive(packagePath, root);
    if (!result.opened) return kExtractUnreadable;
    return static_cast<int>(result.skipped);
}
