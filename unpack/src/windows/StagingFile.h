// A file written under a staged name beside its target on Windows. Nothing
// here touches the target: the commit moves the staged file over it later.
// Owned and used by one thread.
#pragma once

#include <windows.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "platform/unique_handle.h"
#include "unpack/EntryMeta.h"

namespace tavlin::unpack {

class StagingFile {
public:
    // Creates `path` (a \\?\ path that must not exist yet). Check ok().
    explicit StagingFile(std::wstring path);
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;
    // Removes the staged file unless Finish succeeded.
    ~StagingFile();

    bool ok() const { return file_.valid(); }
    const std::string& error() const { return error_; }

    bool Write(const void* data, std::size_t size);
    // Sets the times, flushes the data to the disk and closes the file,
    // which then waits for the commit; read-only when `readOnly`. False
    // (with error()) on failure.
    bool Finish(const EntryTimes& times, bool readOnly);

private:
    bool Fail(const std::string& what);

    std::wstring path_;
    platform::UniqueHandle file_;
    bool created_ = false;
    bool finished_ = false;
    std::string error_;
};

}  // namespace tavlin::unpack
