// zlib.dll: unpacks an update package over an installation.
#pragma once

// Results of ExtractZipToDir.
enum : int {
    kExtractOk = 0,           // every entry is in place
    kExtractBadArguments = -1,  // a path is missing, empty or not valid UTF-16
    kExtractUnreadable = -2,    // the package cannot be opened or its directory read
    // A positive result counts the entries that were refused or failed;
    // the others are in place.
};

// Unpacks the zip archive `package` below `folder`. Entry names are paths
// relative to the installation folder: when the package lies inside
// `folder`, they are placed below the subfolder of `folder` that contains
// it (for folder X and package X/I/temp/update.zip, below X/I); a package
// outside `folder` is unpacked straight into it. Entries that would land
// outside that root are refused. A file is written beside its target and
// moved over it only when its size and CRC are right, so a failed entry
// leaves the installed file as it was. `flags` is reserved and ignored.
extern "C" int ExtractZipToDir(const char16_t* package, const char16_t* folder, int flags);
