// Owning Windows handle: closed exactly once, movable, never copied. Both
// "no handle" values (null and INVALID_HANDLE_VALUE) count as empty, since
// CreateFileW answers with one and most other calls with the other.
#pragma once

#ifndef _WIN32
#error "unique_handle.h is for the Windows build"
#endif

#include <windows.h>

#include <utility>

namespace platform {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(Normal(h)) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (h_) ::CloseHandle(h_);
        h_ = Normal(h);
    }

private:
    static HANDLE Normal(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
    HANDLE h_ = nullptr;
};

}  // namespace platform
