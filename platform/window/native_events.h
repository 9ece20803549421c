// What a backend's native side sees of the core: its reports (events the
// display delivered) and the few window fields it needs. Free of the
// message constants, so a backend may include the system's own headers
// beside it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window/types.h"

namespace platform::detail {

// Queues input for hwnd as the backend received it (dropped for a disabled
// window). Any thread.
void PostInput(Hwnd hwnd, const Msg& msg);

// Backend reports (the window's thread).
void OnNativeGeometry(Hwnd hwnd, const Rect& rect);
void OnNativeExpose(Hwnd hwnd, const Rect& area);
void OnNativeFocus(Hwnd hwnd, bool focused);
void OnNativeIconic(Hwnd hwnd, bool iconic);
void OnNativeCloseRequest(Hwnd hwnd);
void OnNativeGone(Hwnd hwnd);

// Milliseconds of the monotonic clock, low 32 bits (Msg::time).
uint32_t NowMs();

// A window's fields as a backend creates its native window from them.
struct NativeWindowInfo {
    Rect rect;  // the client area on the screen
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::u16string title;
    uintptr_t ownerNative = 0;  // the owner's native handle, 0 for none
    uintptr_t foreignOwner = 0;
};
NativeWindowInfo DescribeWindow(Hwnd hwnd);
uintptr_t NativeHandle(Hwnd hwnd);
void SetNativeHandle(Hwnd hwnd, uintptr_t native);

}  // namespace platform::detail
