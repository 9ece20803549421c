// The file and folder work of the log, once per system (LogFile_linux.cpp,
// LogFile_win32.cpp). Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace updater_log {

// The separator this system puts between a folder and a name, and every
// character that separates names in a path (Windows: both slashes).
extern const char kPathSeparator;
extern const std::string_view kPathSeparators;

// An open log file, closed exactly once; movable, never copied.
class LogFile {
public:
    LogFile() = default;
    ~LogFile() { reset(); }
    LogFile(LogFile&& other) noexcept : native_(other.native_) { other.native_ = kInvalid; }
    LogFile& operator=(LogFile&& other) noexcept {
        if (this != &other) {
            reset();
            native_ = other.native_;
            other.native_ = kInvalid;
        }
        return *this;
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Creates `path`, which must not exist yet, for writing; only the user
    // may read it (Linux: mode 0600; Windows: the folder's own rights).
    // Invalid on failure, with `*exists` when the name is taken.
    static LogFile CreateNew(const std::string& path, bool* exists);

    bool valid() const { return native_ != kInvalid; }
    explicit operator bool() const { return valid(); }
    // Appends as much of `data` as one call takes: the count, or -1.
    int64_t Write(const char* data, size_t size);
    // Cuts the file to `length` bytes.
    bool Truncate(uint64_t length);
    void reset();

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t native_ = kInvalid;
};

// Creates the folder `path` (its parent must exist); an existing entry is
// accepted, whether it is usable shows when a file is made in it. Folders
// made here are the user's own (Linux: mode 0700).
bool MakeDir(const std::string& path);
// Creates `path` and each missing folder above it.
bool MakeDirs(const std::string& path);
// Local time of `when`; false when the system cannot give one.
bool LocalTime(time_t when, tm* local);

}  // namespace updater_log
