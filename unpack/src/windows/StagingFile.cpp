#include "StagingFile.h"

#include <algorithm>
#include <cstdint>

#include "WidePath.h"

namespace tavlin::unpack {

namespace {

// Seconds since 1970 as a FILETIME (100 ns units since 1601).
FILETIME ToFileTime(std::time_t seconds) {
    constexpr int64_t kEpochDifference = 11644473600LL;
    int64_t ticks = (static_cast<int64_t>(seconds) + kEpochDifference) * 10000000LL;
    if (ticks < 0) ticks = 0;
    FILETIME t{};
    t.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xffffffffu);
    t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return t;
}

}  // namespace

StagingFile::StagingFile(std::wstring path) : path_(std::move(path)) {
    // Not shared while it is written: nobody reads half a file.
    file_.reset(::CreateFileW(path_.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    created_ = file_.valid();
    if (!created_) error_ = "cannot create a file beside it: " + ErrorText(::GetLastError());
}

StagingFile::~StagingFile() {
    if (!created_ || finished_) return;
    file_.reset();
    RemoveFile(path_);
}

bool StagingFile::Fail(const std::string& what) {
    error_ = what + ": " + ErrorText(::GetLastError());
    return false;
}

bool StagingFile::Write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!::WriteFile(file_.get(), p, want, &n, nullptr) || n == 0) return Fail("cannot write");
        p += n;
        size -= n;
    }
    return true;
}

bool StagingFile::Finish(const EntryTimes& times, bool readOnly) {
    const FILETIME creation = ToFileTime(times.creation);
    const FILETIME access = ToFileTime(times.access);
    const FILETIME modification = ToFileTime(times.modification);
    if (!::SetFileTime(file_.get(), &creation, &access, &modification)) return Fail("cannot set the times");
    // Windows has no syncfs: each staged file goes to the disk before the
    // journal's commit record does.
    if (!::FlushFileBuffers(file_.get())) return Fail("cannot make it durable");
    if (!::CloseHandle(file_.release())) return Fail("cannot write");
    if (readOnly && !::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY))
        return Fail("cannot make it read-only");
    finished_ = true;
    return true;
}

}  // namespace tavlin::unpack
