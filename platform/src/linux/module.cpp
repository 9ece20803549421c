#include "platform/module.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace platform {

namespace {

// readlink() does not say when it truncates, so grow the buffer until the
// answer is strictly shorter than the room given.
bool ReadLink(const char* link, std::string& out) {
    std::vector<char> buf(256);
    for (;;) {
        ssize_t n = ::readlink(link, buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            out.assign(buf.data(), static_cast<size_t>(n));
            return true;
        }
        if (buf.size() >= (size_t{1} << 20)) return false;
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

bool GetModulePath(std::string& path) {
    std::string p;
    if (!ReadLink("/proc/self/exe", p) || p.empty()) return false;
    // An update may have removed the running file; the kernel then marks the
    // link, but the program's path (and folder) is still the old one.
    constexpr std::string_view kDeleted = " (deleted)";
    if (p.ends_with(kDeleted) && ::access(p.c_str(), F_OK) != 0) p.resize(p.size() - kDeleted.size());
    path = std::move(p);
    return true;
}

bool GetModuleFolder(std::string& folder) {
    std::string path;
    if (!GetModulePath(path)) return false;
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    folder = path.substr(0, slash + 1);
    return true;
}

std::string GetCurrentDir() {
    std::vector<char> buf(256);
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) return std::string(buf.data());
        if (errno != ERANGE || buf.size() >= (size_t{1} << 20)) return {};
        buf.resize(buf.size() * 2);
    }
}

bool SetCurrentDir(const std::string& dir) {
    return !dir.empty() && ::chdir(dir.c_str()) == 0;
}

}  // namespace platform
