// The stand-in client's main window: a small X window of class
// "vostrapanel", which the updater finds to own its notice. Nothing happens
// without a display; the client works the same without it.
#pragma once

#include <memory>

namespace tavlin_client {

class ClientWindow {
public:
    ClientWindow();
    ~ClientWindow();
    ClientWindow(const ClientWindow&) = delete;
    ClientWindow& operator=(const ClientWindow&) = delete;

    // Opens the display named by DISPLAY and maps the window; false when
    // there is no display.
    bool Open();
    // The connection's descriptor to poll; -1 while there is none.
    int fd() const;
    // Handles every pending event. A lost connection or a window closed by
    // the user closes the window; the client itself goes on.
    void Pump();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tavlin_client
