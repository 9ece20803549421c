#include "download/PackageExtractor.h"

#include <chrono>
#include <thread>

#include "app/zebUtil.h"
#include "download/DownloadFile.h"
#include "zlibdll/ExtractZipToDir.h"

namespace {

constexpr auto kSettleTime = std::chrono::milliseconds(500);

}  // namespace

bool PackageExtractor::Extract() {
    if (!download_file::MakeFolders(targetDir)) return false;
    std::this_thread::sleep_for(kSettleTime);
    const std::u16string package = zeb::ToWide(packagePath);
    const std::u16string folder = zeb::ToWide(targetDir);
    unpackResult = ExtractZipToDir(package.c_str(), folder.c_str(), 0);
    unpackError = ExtractZipToDirError();
    return true;
}
