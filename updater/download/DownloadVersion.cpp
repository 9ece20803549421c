#include "download/DownloadVersion.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    if (!version.Known()) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    std::string text;
    if (!version.etag.empty()) text += std::string(kEtagName) + " " + version.etag + "\n";
    if (!version.lastModified.empty()) text += std::string(kDateName) + " " + version.lastModified + "\n";
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

bool LoadVersionFile(const std::string& path, FileVersion* version) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[kMaxVersionFile];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
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
