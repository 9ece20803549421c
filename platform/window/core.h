// Internals shared by the window-system core files and the backends.
//
// Locking: one process-wide mutex (CoreLock) guards the list of live
// windows, every queue's contents and the window fields that other threads
// read. Nothing calls a window procedure or a backend while holding it.
#pragma once

#include <cairo.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window/message_loop.h"
#include "platform/window/types.h"
#include "platform/window/window.h"
#include "native_events.h"
#include "wake_signal.h"

namespace platform {

class Backend;

namespace detail {

using Clock = std::chrono::steady_clock;

struct ThreadQueue;

// A message handed to another thread; the sender waits on `done`.
struct SentMessage {
    Hwnd hwnd = nullptr;
    unsigned msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<LRESULT()> call;  // runs instead of the procedure when set
    LRESULT result = 0;
    bool handled = false;  // false: the window or its thread went first
    bool done = false;
    std::shared_ptr<ThreadQueue> sender;
};

struct Timer {
    Hwnd hwnd = nullptr;
    uintptr_t id = 0;
    unsigned periodMs = 0;
    TimerProc callback = nullptr;
    Clock::time_point due;
};

// A posted message; `input` marks keyboard and mouse input, which a
// disabled window never receives and which may start a caption drag.
struct Posted {
    Msg msg;
    bool input = false;
};

struct ModalFrame {
    bool ended = false;
    int result = 0;
};

struct ThreadQueue {
    ThreadId id = 0;
    WakeSignal wake;  // something was queued for this thread
    std::deque<Posted> posted;
    std::deque<std::shared_ptr<SentMessage>> incoming;
    std::vector<Timer> timers;
    bool quitPosted = false;
    int quitCode = 0;
    bool alive = true;
    Hwnd focus = nullptr;
    // Owned and used by the thread itself only.
    std::unique_ptr<Backend> backend;

    void Wake() const;
};

}  // namespace detail

struct WindowRec {
    uint64_t serial = 0;
    std::shared_ptr<detail::ThreadQueue> queue;
    WndProc proc = nullptr;
    std::atomic<void*> userData{nullptr};
    // Guarded by CoreLock (read by other threads).
    std::u16string className;
    std::u16string title;
    Rect rect;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    bool visible = false;
    bool iconic = false;
    bool enabled = true;
    Hwnd owner = nullptr;
    uintptr_t foreignOwner = 0;  // another program's X window (foreign.h)
    Rect invalid;  // empty: nothing to repaint
    std::vector<detail::ModalFrame*> modalFrames;
    // Window's thread only.
    bool destroying = false;
    bool painted = false;      // the back buffer holds a finished paint
    bool beginPaintCalled = false;
    cairo_surface_t* surface = nullptr;  // device pixels, with the scale as its device scale
    double scale = 1;                    // the backend's, fixed at creation
    std::atomic<uintptr_t> native{0};  // the backend's handle; read by owned windows' threads
    RegionLocator locator;
};

namespace detail {

std::unique_lock<std::mutex> CoreLock();

// The calling thread's queue (created on first use).
const std::shared_ptr<ThreadQueue>& CurrentQueue();
// The calling thread's backend, created on first use; nullptr when neither
// a display nor off-screen mode is available.
Backend* CurrentBackend();

// Under CoreLock: whether hwnd is live.
bool IsLiveLocked(Hwnd hwnd);
// Under CoreLock: live windows in creation order.
std::vector<Hwnd>& LiveWindowsLocked();

// Whether hwnd is live and belongs to the calling thread.
bool IsOwnWindow(Hwnd hwnd);

// Runs fn on hwnd's thread (directly when that is the calling thread) and
// waits for it. False when the window or its thread is gone first.
bool CallOnWindowThread(Hwnd hwnd, const std::function<LRESULT()>& fn, LRESULT* result = nullptr);

// Destroys every window the thread still has, without calling their
// procedures, when the thread ends.
void DestroyThreadWindows(ThreadQueue& queue);

// Repaints hwnd now if part of it is invalid (window's thread).
void PaintNow(Hwnd hwnd);
// (Re)creates the back buffer at the window's size; keeps what fits.
void EnsureSurface(Hwnd hwnd);

// Screen position of the latest mouse input any window was given; false
// before the first.
bool LastInputPoint(Point* p);

}  // namespace detail
}  // namespace platform
