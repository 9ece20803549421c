// Off-screen mode and driving windows from tests (or helper tools).
//
// Off-screen mode runs the same windows, messages, timers and drawing
// without a display: windows draw into their back buffers only. It is on
// when SetOffscreenMode(true) was called or the environment variable
// TAVLIN_OFFSCREEN is "1"; a thread's first window fixes the backend of
// that thread. The driving calls below work in both modes: keys and clicks
// are posted to the window as the backend would post real input.
// All functions: any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/window/types.h"

namespace platform {

void SetOffscreenMode(bool on);
bool IsOffscreenMode();

// First live window whose class and title match (an empty view matches
// any), searching all threads in creation order. nullptr when none.
Hwnd FindWindowW(std::u16string_view className, std::u16string_view title);
// All live windows, in creation order.
std::vector<Hwnd> EnumWindows();

// Waits up to timeoutMs for a visible window with that title (or class, when
// className is not empty). For tests that drive another thread's UI.
Hwnd WaitForWindow(std::u16string_view className, std::u16string_view title,
                   unsigned timeoutMs);

// Key down (with its character) and key up for a virtual-key code.
bool SendKey(Hwnd hwnd, unsigned vk);
// Mouse move, left button down and up at a client point.
bool ClickAt(Hwnd hwnd, Point p);
// Clicks the centre of a named region (SetRegionLocator); false when the
// window has no region of that name.
bool ClickRegion(Hwnd hwnd, std::u16string_view name);
// Asks the window's locator for a named region (client coordinates).
bool GetRegionRect(Hwnd hwnd, std::u16string_view name, Rect* rect);
// Asks to close the window as the window manager's close button does.
bool RequestClose(Hwnd hwnd);

// Repaints what is invalid and writes what the window shows as a PNG.
bool SaveWindowPng(Hwnd hwnd, const std::string& path);

}  // namespace platform
