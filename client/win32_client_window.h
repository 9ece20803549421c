// The stand-in client's main window on Windows: a plain window of class
// "vostrapanel", which the updater finds to own its notice. Closing it
// leaves the client running, as the X11 stand-in does.
#pragma once

#include <windows.h>

namespace tavlin_client {

class ClientWindow {
public:
    ClientWindow() = default;
    ~ClientWindow();
    ClientWindow(const ClientWindow&) = delete;
    ClientWindow& operator=(const ClientWindow&) = delete;

    // Registers the class and shows the window; false when either fails
    // (the client then runs without it).
    bool Open(HINSTANCE instance);

private:
    HINSTANCE instance_ = nullptr;
    bool registered_ = false;
    HWND window_ = nullptr;
};

}  // namespace tavlin_client
