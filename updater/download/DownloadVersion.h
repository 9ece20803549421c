// Which version of the remote file a download holds: its validator (a
// strong ETag, else Last-Modified), kept beside the ".dltmp" in
// "<target>.dltmp.version" so that a resumed download asks for the same
// version (If-Range) and notices another one.
#pragma once

#include <string>

struct FileVersion {
    std::string etag;          // a strong entity tag, quotes included; "" when none or weak
    std::string lastModified;  // the Last-Modified date as the server wrote it

    bool Known() const { return !etag.empty() || !lastModified.empty(); }
    // What an If-Range header carries: the ETag, else the date; "" when unknown.
    const std::string& IfRange() const { return etag.empty() ? lastModified : etag; }
    // True only when both sides name a version and the names differ.
    bool DiffersFrom(const FileVersion& other) const;
    // Whether bytes of this version may be joined with bytes of `other`: the
    // same ETag, else the same date, or no validator on either side (then
    // nothing can tell them apart). A validator on one side only, or none
    // the two have in common, is not the same version.
    bool SameAs(const FileVersion& other) const;
    bool operator==(const FileVersion&) const = default;
};

// Takes the ETag or Last-Modified of one response header line, if it is one.
void NoteVersionHeader(FileVersion& version, const char* line, size_t size);

std::string VersionFileOf(const std::string& tmpName);

// The side file: written whole (temporary name, then rename) or removed
// when the version is unknown. False when it could not be written.
bool SaveVersionFile(const std::string& path, const FileVersion& version);
// False when the file is missing or unreadable.
bool LoadVersionFile(const std::string& path, FileVersion* version);
