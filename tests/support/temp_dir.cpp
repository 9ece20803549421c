#include "temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tavlin_test {

namespace {

// Tests make read-only files and folders; give the owner write access back
// so remove_all can clear them when not running as root.
void MakeWritable(const fs::path& root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_symlink(ec)) continue;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
}

}  // namespace

std::map<std::string, std::string> ReadTree(const std::string& dir, const std::set<std::string>& skip) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path rel = it->path().lexically_relative(dir);
        if (skip.count(rel.begin()->string())) {
            if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink()) {
            out[rel.string()] = "link:" + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            out[rel.string()] = "dir";
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream data;
            data << in.rdbuf();
            char mode[16];
            std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(it->symlink_status().permissions()));
            std::string bytes = data.str();
            // Large files by size and hash, so a failed comparison prints a
            // readable difference.
            if (bytes.size() > 256)
                bytes = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
            out[rel.string()] = std::string("file ") + mode + ":" + bytes;
        }
    }
    return out;
}

TempDir::~TempDir() {
    if (keep_ || path_.empty()) return;
    MakeWritable(path_);
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace tavlin_test
