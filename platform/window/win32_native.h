// Win32 calls the core's side of the backend makes without the system's
// headers (their macros collide with the window system's own names).
#pragma once

#include <cstdint>
#include <string_view>

namespace platform::win32 {

// While set, the backend leaves the thread's native messages to another
// loop (the system's own, inside a message box). Calling thread only.
void SuspendNativePump(bool suspended);

// The system's message box, owned by the native window `owner` (0: none).
// `serve` runs every few milliseconds while the box is up, from the box's
// own loop. Returns the system's answer (1 OK, 2 Cancel), 0 on failure.
int ShowSystemMessageBox(uintptr_t owner, std::u16string_view text, std::u16string_view caption, bool okCancel,
                         void (*serve)());

}  // namespace platform::win32
