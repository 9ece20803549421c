// A private temporary folder that lives as long as its owner.
#pragma once

#include <string>

namespace tavlin_test {

class TempDir {
public:
    // Creates $TMPDIR/<prefix>XXXXXX (default /tmp). Throws std::runtime_error
    // when the folder cannot be made: a test cannot go on without it.
    explicit TempDir(const std::string& prefix = "tavlin-test-");
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

}  // namespace tavlin_test
