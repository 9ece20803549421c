#include "zlibdll/ExtractZipToDir.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/text.h"
#include "unpack/Unpack.h"

namespace fs = std::filesystem;

namespace {

thread_local std::string lastError;

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

int Fail(int code, std::string why) {
    lastError = std::move(why);
    return code;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ExtractZipToDir(const char16_t* package,
                                                                      const char16_t* folder, int) {
    lastError.clear();
    fs::path packagePath, folderPath;
    if (!ToPath(package, &packagePath) || !ToPath(folder, &folderPath))
        return Fail(kExtractBadArguments, "a path is missing or not valid text");
    const fs::path root = UnpackRoot(packagePath, folderPath);
    tavlin::unpack::UnpackOptions options;
    // A client or launcher that cannot be started is a failed update.
    options.executables = {"tavlin.exe", "TavlinLaunch.exe"};
    const tavlin::unpack::UnpackResult result = tavlin::unpack::UnpackArchive(packagePath, root, options);
    if (result.applied) return kExtractOk;
    if (result.commitIncomplete) return Fail(kExtractIncomplete, result.reason);
    if (result.postponed) return Fail(kExtractPostponed, result.reason);
    if (result.rootUsable && !result.opened) return Fail(kExtractUnreadable, result.reason);
    return Fail(kExtractNotApplied, tavlin::unpack::DescribeFailure(result));
}

extern "C" __attribute__((visibility("default"))) const char* ExtractZipToDirError(void) {
    return lastError.c_str();
}
