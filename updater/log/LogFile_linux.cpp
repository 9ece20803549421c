#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "log/LogFile.h"

namespace updater_log {

const char kPathSeparator = '/';
const std::string_view kPathSeparators = "/";

LogFile LogFile::CreateNew(const std::string& path, bool* exists) {
    LogFile file;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    *exists = fd < 0 && errno == EEXIST;
    if (fd >= 0) file.native_ = fd;
    return file;
}

int64_t LogFile::Write(const char* data, size_t size) {
    for (;;) {
        ssize_t n = ::write(static_cast<int>(native_), data, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool LogFile::Truncate(uint64_t length) {
    return ::ftruncate(static_cast<int>(native_), static_cast<off_t>(length)) == 0;
}

void LogFile::reset() {
    if (valid()) ::close(static_cast<int>(native_));
    native_ = kInvalid;
}

bool MakeDir(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

bool MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (!MakeDir(path.substr(0, slash))) return false;
    }
    return MakeDir(path);
}

bool LocalTime(time_t when, tm* local) { return ::localtime_r(&when, local) != nullptr; }

}  // namespace updater_log
