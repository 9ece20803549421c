// PackageExtractor: unpacks one update package over the installation
// through zlib.dll's ExtractZipToDir. Short-lived; any thread.
#pragma once

#include <string>

class PackageExtractor {
public:
    // Makes targetDir a folder (every missing level), waits half a second
    // and hands both paths to ExtractZipToDir. False only when targetDir or
    // one of its parents exists and is not a folder; the unpacking's own
    // outcome is left in unpackResult.
    bool Extract();

    std::string packagePath;
    std::string targetDir;
    // ExtractZipToDir's result of the latest Extract that got that far:
    // 0 when every entry is in place (see ExtractZipToDir.h), and why not.
    int unpackResult = 0;
    std::string unpackError{};
};
