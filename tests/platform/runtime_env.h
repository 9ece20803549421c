// Points XDG_RUNTIME_DIR at a fresh private folder for one test, so sockets
// and lock files of parallel tests never meet.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "temp_dir.h"

namespace platform_test {

class PrivateRuntimeDir {
public:
    PrivateRuntimeDir() : path_(dir_ / "runtime") {
        if (::mkdir(path_.c_str(), 0700) != 0 || ::chmod(path_.c_str(), 0700) != 0)
            throw std::runtime_error("cannot make " + path_);
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~PrivateRuntimeDir() {
        if (hadOld_)
            ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

    const std::string& path() const { return path_; }
    // Scratch space beside (not inside) the runtime folder.
    const tavlin_test::TempDir& scratch() const { return dir_; }

private:
    tavlin_test::TempDir dir_;
    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace platform_test
