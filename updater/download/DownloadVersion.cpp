#include "download/DownloadVersion.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "download/DownloadFile.h"

namespace {

constexpr const char* kEtagName = "ETag:";
constexpr const char* kDateName = "Last-Modified:";
// A version line longer than this is not one the engine wrote.
constexpr size_t kMaxVersionFile = 4096;

std::string Trimmed(const char* text, size_t size) {
    size_t first = 0;
    while (first < size && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (size > first && (text[size - 1] == '\r' || text[size - 1] == '\n' || text[size - 1] == ' ' ||
                            text[size - 1] == '\t'))
        --size;
    return std::string(text + first, size - first);
}

bool HasName(const char* line, size_t size, const char* name) {
    size_t n = std::strlen(name);
    return size >= n && strncasecmp(line, name, n) == 0;
}

}  // namespace

bool FileVersion::DiffersFrom(const FileVersion& other) const {
    if (!etag.empty() && !other.etag.empty()) return etag != other.etag;
    if (!lastModified.empty() && !other.lastModified.empty()) return lastModified != other.lastModified;
    return false;
}

bool FileVersion::SameAs(const FileVersion& other) const {
    if (!Known() && !other.Known()) return true;
    if (!etag.empty() && !other.etag.empty()) return etag == other.etag;
    if (!lastModified.empty() && !other.lastModified.empty()) return lastModified == other.lastModified;
    return false;
}

void NoteVersionHeader(FileVersion& version, const char* line, size_t size) {
    if (HasName(line, size, kEtagName)) {
        size_t n = std::strlen(kEtagName);
        std::string value = Trimmed(line + n, size - n);
        // A weak tag names a family of versions: it cannot make a range safe.
        version.etag = value.rfind("W/", 0) == 0 ? std::string() : value;
    } else if (HasName(line, size, kDateName)) {
        size_t n = std::strlen(kDateName);
        version.lastModified = Trimmed(line + n, size - n);
    }
}

std::string VersionFileOf(const std::string& tmpName) { return tmpName + ".version"; }

bool SaveVersionFile(const std::string& path, const FileVersion& version) {
    if (!version.Known()) return download_file::Remove(path);
    std::string text;
    if (!version.etag.empty()) text += std::string(kEtagName) + " " + version.etag + "\n";
    if (!version.lastModified.empty()) text += std::string(kDateName) + " " + version.lastModified + "\n";
    std::string temporary = path + ".new";
    bool ok = download_file::WriteWhole(temporary, text) && download_file::RenameReplacing(temporary, path);
    if (!ok) download_file::Remove(temporary);
    return ok;
}

bool LoadVersionFile(const std::string& path, FileVersion* version) {
    char buffer[kMaxVersionFile];
    int64_t n;
    {
        DownloadFile file = DownloadFile::OpenToRead(path);
        if (!file) return false;
        n = file.ReadAt(0, buffer, sizeof buffer);
    }
    if (n <= 0 || static_cast<size_t>(n) == sizeof buffer) return false;
    FileVersion read;
    const char* at = buffer;
    const char* end = buffer + n;
    while (at < end) {
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char* lineEnd = newline ? newline : end;
        NoteVersionHeader(read, at, static_cast<size_t>(lineEnd - at));
        at = lineEnd + 1;
    }
    if (!read.Known()) return false;
    *version = read;
    return true;
}
