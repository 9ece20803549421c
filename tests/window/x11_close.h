// Kept apart from the tests: Xlib's macros clash with GoogleTest's names.
#pragma once

#include <string>

namespace tavlin_window_test {

// Sends the close request a window manager sends for its close button.
bool SendDeleteWindow(const std::string& display, unsigned long window);

}  // namespace tavlin_window_test
