// What the Win32 window tests need of the system beside the window layer
// (kept apart: the system's headers collide with the layer's names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavlin_window_test::win32 {

// Whether Wine draws on an X display (DISPLAY set); real Windows always does.
bool HaveDisplay();

// Runs a program of the host (an absolute Unix path under Wine, e.g.
// /usr/bin/xdotool; ASCII arguments without quotes) and waits at most
// timeoutMs. Its exit code; -1 when it did not end in time.
int RunHostProgram(const std::string& program, const std::string& args, int timeoutMs);

// The X window Wine shows the native window in; 0 when unknown.
unsigned long XWindowOf(uintptr_t native);

// 0x00RRGGBB pixels of a screen area, row by row, read from the screen.
std::vector<uint32_t> ScreenPixels(int x, int y, int width, int height);

// The native window's title, icon and topmost state as the system has them.
std::u16string NativeTitle(uintptr_t native);
bool NativeHasIcon(uintptr_t native);
bool NativeTopmost(uintptr_t native);

}  // namespace tavlin_window_test::win32
