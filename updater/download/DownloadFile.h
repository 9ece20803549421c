// The files the engine and the job work with, each service once per system
// (DownloadFile_linux.cpp, DownloadFile_win32.cpp). Paths are UTF-8; error
// numbers are the system's own (errno; Windows: GetLastError), for the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One open file, closed exactly once; movable, never copied. Reads and
// writes name their offset, so threads sharing one never race on a file
// position.
class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile() { Close(); }
    DownloadFile(DownloadFile&& other) noexcept : native_(other.Release()) {}
    DownloadFile& operator=(DownloadFile&& other) noexcept {
        if (this != &other) {
            Close();
            native_ = other.Release();
        }
        return *this;
    }
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Opens `path` for reading and writing (created when missing and
    // `create`), held by this process alone: Linux: an exclusive advisory
    // flock, which other holders honour; Windows: opened without sharing,
    // so no other open of the file succeeds meanwhile. Invalid on failure,
    // with `*heldElsewhere` when another holder has the file.
    static DownloadFile OpenHeld(const std::string& path, bool create, int* error, bool* heldElsewhere);
    // Opens `path` for reading from start to end; others may read it too.
    static DownloadFile OpenToRead(const std::string& path);
    // Takes over a descriptor (Windows: a HANDLE) opened elsewhere.
    static DownloadFile Adopt(intptr_t native) {
        DownloadFile file;
        file.native_ = native;
        return file;
    }
    // Gives the descriptor up without closing it.
    intptr_t Release() {
        intptr_t native = native_;
        native_ = kInvalid;
        return native;
    }

    bool valid() const { return native_ != kInvalid; }
    explicit operator bool() const { return valid(); }

    // A second descriptor of the same open file, closed on its own.
    DownloadFile Duplicate() const;
    // One positioned write of up to `size` bytes: the count written, or -1
    // with *error.
    int64_t WriteAt(uint64_t offset, const void* data, size_t size, int* error) const;
    // One positioned read: the count read (0 at the end), or -1.
    int64_t ReadAt(uint64_t offset, void* data, size_t size) const;
    // Reads exactly `size` bytes at `offset`.
    bool ReadAllAt(uint64_t offset, void* data, size_t size) const {
        char* at = static_cast<char*>(data);
        while (size > 0) {
            int64_t n = ReadAt(offset, at, size);
            if (n <= 0) return false;
            at += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    // The file's length; false with *error when it cannot be read.
    bool Length(uint64_t* length, int* error) const;
    // Cuts or extends the file to `length` bytes; false with *error.
    bool SetLength(uint64_t length, int* error) const;
    // Empties the file and gives it `length` zero bytes, their room taken
    // on the disk where the system can (Linux: posix_fallocate).
    bool Allocate(uint64_t length, int* error) const;
    // What was written reaches the system's cache, which a killed process
    // does not lose (Linux: positioned writes are there already, nothing to
    // do; Windows: FlushFileBuffers).
    void Commit() const;
    // Closes the file: 0, or the error of the close.
    int Close();

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t native_ = kInvalid;
};

namespace download_file {

bool Exists(const std::string& path);
// Deletes `path`; true when it is gone, also when it never was there.
bool Remove(const std::string& path);
// Deletes `path` unless another holder has it (see OpenHeld). True when it
// is gone.
bool RemoveUnlessHeld(const std::string& path);
// Copies `from` to `to`, replacing `to`; nothing of `to` stays on failure.
// 0 or the error.
int Copy(const std::string& from, const std::string& to);
// Renames `from` to `to` and never replaces an existing `to`.
bool RenameNoReplace(const std::string& from, const std::string& to, int* error);
// Renames `from` to `to`, replacing `to` in one step.
bool RenameReplacing(const std::string& from, const std::string& to);
// Writes `text` as the whole of `path` (created or emptied).
bool WriteWhole(const std::string& path, const std::string& text);
// Creates every missing level of the folder `dir`, outermost first. False
// when a level exists as something other than a folder; a level that cannot
// be created for another reason (rights, a full disk) is left for the
// caller's next step to fail on.
bool MakeFolders(const std::string& dir);
// The error numbers of a bad argument and of a file that is not open.
int InvalidArgument();
int BadHandle();
// What an error number means, for a log.
std::string ErrorText(int error);
// The latest error number of this thread (errno; Windows: GetLastError).
int LastError();

}  // namespace download_file
