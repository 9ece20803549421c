// Modal message box on the window system.
// Any thread: the box runs a modal loop on the calling thread's own queue.
#pragma once

#include <string_view>

#include "platform/window/types.h"

namespace platform {

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Shows `text` under the title `caption` with the buttons of `type` (MB_OK or
// MB_OKCANCEL) and waits for the answer: IDOK for OK or Enter, IDCANCEL for
// Cancel, Escape or closing the box. 0 when no window could be shown (no
// display and no off-screen mode).
int MessageBoxW(Hwnd owner, std::u16string_view text, std::u16string_view caption, unsigned type);

}  // namespace platform
