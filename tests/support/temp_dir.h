// A private temporary folder that lives as long as its owner.
#pragma once

#include <map>
#include <set>
#include <string>

namespace tavlin_test {

class TempDir {
public:
    // Creates $TMPDIR/<prefix>XXXXXX (default /tmp), or <in>/<prefix>XXXXXX.
    // Throws std::runtime_error when the folder cannot be made: a test cannot
    // go on without it.
    explicit TempDir(const std::string& prefix = "tavlin-test-", const std::string& in = {});
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

    // Leaves the folder on disk, for looking at it after a failure.
    void Keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

// Everything below `dir` as relative path -> "dir", "link:<target>" or
// "file <mode in octal>:<bytes>" (files over 256 bytes by size and hash);
// links are listed, never followed. Names in
// `skip` (first-level names only) are left out.
std::map<std::string, std::string> ReadTree(const std::string& dir, const std::set<std::string>& skip = {});

}  // namespace tavlin_test
