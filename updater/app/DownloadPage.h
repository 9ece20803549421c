// The vendor's download web page, offered when an update cannot be finished
// (the full installer is there). Fixed at build time: configure with
// -DTAVLIN_DOWNLOAD_PAGE=https://host/pc/live/ to point it elsewhere.
#pragma once

#include <string_view>

namespace zeb {

std::string_view DownloadPageUrl();

// Opens the page with the desktop's browser, detached; failures are ignored
// as with any shell "open".
void OpenDownloadPage();

}  // namespace zeb
