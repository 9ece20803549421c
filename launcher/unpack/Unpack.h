// Extraction of a zip archive into a root folder.
//
// Every entry lands below the root or is skipped: names are cleaned and
// resolved lexically, folders are walked without following symbolic links,
// and a file is renamed into place only once its data is complete and its
// CRC matches, so a failed entry leaves the previous file as it was. When a
// name occurs twice, the later entry wins.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tavlin::unpack {

struct UnpackOptions {
    // Extraction threads; 0 chooses by the amount of data (1 or 2).
    unsigned threads = 0;
    // Told about every skipped entry, with its stored name and the reason;
    // called on the thread that called UnpackArchive, after the extraction.
    std::function<void(const std::string& name, const std::string& reason)> onSkip;
};

struct UnpackResult {
    bool opened = false;      // the archive and its directory could be read
    std::size_t written = 0;  // files and links put in place
    std::size_t folders = 0;  // directory entries made sure of
    std::size_t skipped = 0;  // entries refused or failed
};

// Extracts `zipPath` into `rootDir` (created when missing). Any thread; calls
// on different roots may run at once.
UnpackResult UnpackArchive(const std::string& zipPath, const std::string& rootDir,
                           const UnpackOptions& options = {});

}  // namespace tavlin::unpack
