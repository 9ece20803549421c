// Windows of other programs on the same display, for keeping a window of
// ours above one of theirs (a notice that belongs to another program's main
// window). X11 only: in off-screen mode and without a display there are no
// foreign windows.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/window/types.h"

namespace platform {

// An X window id of another program; 0 means none.
using ForeignWindow = uintptr_t;

// The topmost top-level window of another process whose WM_CLASS (instance
// or class part) is exactly `className`, also when a window manager has
// framed it. 0 when there is none. Uses the calling thread's display
// connection (the first call on a thread opens it).
ForeignWindow FindForeignWindow(std::u16string_view className);

// Makes hwnd transient for `owner` (WM_TRANSIENT_FOR, dialog type): window
// managers keep it above that window. CenterWindow then centres hwnd on the
// owner while the owner is shown. False when hwnd is not a live window, the
// owner is gone, or hwnd has no X window. Any thread.
bool SetForeignOwner(Hwnd hwnd, ForeignWindow owner);
ForeignWindow GetForeignOwner(Hwnd hwnd);

}  // namespace platform
