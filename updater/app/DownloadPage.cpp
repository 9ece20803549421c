#include "app/DownloadPage.h"

#include <string>

#include "platform/spawn.h"

#ifndef TAVLIN_DOWNLOAD_PAGE
#define TAVLIN_DOWNLOAD_PAGE "https://www.tavlin.example/pc/live/"
#endif

namespace zeb {
namespace {

constexpr std::string_view kDownloadPage = TAVLIN_DOWNLOAD_PAGE;
static_assert(kDownloadPage.starts_with("https://") && kDownloadPage.ends_with("/pc/live/"),
              "the download page is a TLS address whose path is /pc/live/");

}  // namespace

std::string_view DownloadPageUrl() { return kDownloadPage; }

void OpenDownloadPage() { platform::ShellOpenUrl(std::string(kDownloadPage)); }

}  // namespace zeb
