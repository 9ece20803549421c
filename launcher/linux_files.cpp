#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "LauncherFiles.h"

namespace launcher {

namespace {

// Copies `from` to `to` through a name beside `to`, so `to` is either the
// whole file or untouched.
bool CopyWhole(const std::string& from, const std::string& to, std::string& why) {
    const std::string partial = to + ".tavlin-copy";
    // std's copy falls back to read and write where Boost's copy_file_range
    // refuses to cross file systems.
    std::error_code error;
    std::filesystem::copy_file(from, partial, std::filesystem::copy_options::overwrite_existing, error);
    if (!error && ::rename(partial.c_str(), to.c_str()) == 0) return true;
    why = error ? error.message() : std::strerror(errno);
    std::remove(partial.c_str());
    return false;
}

}  // namespace

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string& why) {
    // On one file system the file just changes folders.
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    why = std::strerror(errno);
    if (errno == EXDEV && CopyWhole(from, to, why)) {
        std::remove(from.c_str());
        return true;
    }
    return false;
}

}  // namespace launcher
