#include "download/PackageExtractor.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "zlibdll/ExtractZipToDir.h"
#include "app/zebUtil.h"

namespace {

constexpr auto kSettleTime = std::chrono::milliseconds(500);

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates every missing level of `dir`, outermost first. False when a level
// exists as something other than a folder; a level that cannot be created
// for another reason (rights, a full disk) is left to the unpacker to fail.
bool MakeFolders(const std::string& dir) {
    if (dir.empty()) return true;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string level = dir.substr(0, pos);
        if (level.empty() || level == "/") continue;
        if (::mkdir(level.c_str(), 0755) == 0) continue;
        if (errno == EEXIST && !IsFolder(level)) return false;
    }
    return true;
}

}  // namespace

bool PackageExtractor::Extract() {
    if (!MakeFolders(targetDir)) return false;
    std::this_thread::sleep_for(kSettleTime);
    const std::u16string package = zeb::ToWide(packagePath);
    const std::u16string folder = zeb::ToWide(targetDir);
    unpackResult = ExtractZipToDir(package.c_str(), folder.c_str(), 0);
    unpackError = ExtractZipToDirError();
    return true;
}
