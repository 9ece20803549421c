// zlib.dll: applies an update package to an installation.
#pragma once

// Results of ExtractZipToDir.
enum : int {
    kExtractOk = 0,             // every entry is in place
    kExtractBadArguments = -1,  // a path is missing, empty or not valid UTF-16
    kExtractUnreadable = -2,    // the package cannot be opened
    kExtractNotApplied = 1,     // an entry failed: nothing was changed
    // Every entry staged, but a file could not replace its target: the
    // installation's journal stays and the next run finishes it.
    kExtractIncomplete = 2,
    // Another run holds the installation, an earlier commit cannot be
    // finished yet, or another program holds a file the package would
    // replace: nothing was changed, and the package may be tried again.
    kExtractPostponed = 3,
};

// Applies the zip archive `package` below `folder`, all of it or nothing.
// Entry names are paths relative to the installation folder: when the
// package lies inside `folder`, they are placed below the subfolder of
// `folder` that contains it (for folder X and package X/I/temp/update.zip,
// below X/I); a package outside `folder` is unpacked straight into it. Every
// entry is first staged beside its target and checked; only when all are
// good do they replace their targets, under a journal that a killed run's
// successor finishes (which this call does first, too). An entry that would
// land outside the root, a damaged entry, a full disk or a target that
// cannot be replaced leave the installation as it was. `flags` is reserved
// and ignored.
extern "C" int ExtractZipToDir(const char16_t* package, const char16_t* folder, int flags);

// Why the calling thread's latest ExtractZipToDir did not return kExtractOk,
// in one line of UTF-8 (entry names with control characters escaped); empty
// after a success. Valid until the thread's next call.
extern "C" const char* ExtractZipToDirError(void);
