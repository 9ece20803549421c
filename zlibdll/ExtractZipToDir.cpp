#include "zlibdll/ExtractZipToDir.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "ArgumentPath.h"
#include "platform/export.h"
#include "unpack/Printable.h"
#include "unpack/Unpack.h"

namespace fs = std::filesystem;

namespace {

thread_local std::string lastError;

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

extern "C" TAVLIN_EXPORT int ExtractZipToDir(const char16_t* package, const char16_t* folder, int) {
    lastError.clear();
    fs::path packagePath, folderPath;
    if (!zlibdll::ToPath(package, &packagePath) || !zlibdll::ToPath(folder, &folderPath))
        return Fail(kExtractBadArguments, "a path is missing or not valid text");
    // Checked before the unpacker makes the root: a call that cannot apply
    // anything leaves no folder behind.
    std::error_code error;
    if (!fs::is_regular_file(packagePath, error))
        return Fail(kExtractUnreadable, "the package \"" + tavlin::unpack::Printable(zlibdll::Utf8(packagePath)) +
                                            "\" is missing or not a file");
    const fs::path root = UnpackRoot(packagePath, folderPath);
    tavlin::unpack::UnpackOptions options;
    // A client or launcher that cannot be started is a failed update.
    options.executables = {"tavlin.exe", "TavlinLaunch.exe"};
    const tavlin::unpack::UnpackResult result = tavlin::unpack::UnpackArchive(zlibdll::Utf8(packagePath), zlibdll::Utf8(root), options);
    if (result.applied) return kExtractOk;
    if (result.commitIncomplete) return Fail(kExtractIncomplete, result.reason);
    if (result.postponed) return Fail(kExtractPostponed, result.reason);
    if (result.rootUsable && !result.opened) return Fail(kExtractUnreadable, result.reason);
    return Fail(kExtractNotApplied, tavlin::unpack::DescribeFailure(result));
}

extern "C" TAVLIN_EXPORT const char* ExtractZipToDirError(void) {
    return lastError.c_str();
}
