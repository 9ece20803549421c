// Message queues, sent messages, timers and modal loops.
//
// Each thread gets its own queue the first time it calls any of these (or
// creates a window). A queue holds posted messages, messages sent by other
// threads, the thread's timers and its windows' pending paints; its loop
// sleeps in poll() on the display connection, an eventfd that other threads
// signal, and the nearest timer deadline.
//
// Delivery order of GetMessageW / PeekMessageW: messages sent by other
// threads are handled inside the call (never returned); then posted
// messages and input in arrival order; then WM_QUIT once PostQuitMessage was
// called and no posted message remains; then WM_PAINT for an invalid window;
// then WM_TIMER for a due timer.
#pragma once

#include <cstdint>

#include "platform/window/types.h"

namespace platform {

// Opaque identifier of a thread's queue, for PostThreadMessageW.
using ThreadId = uint64_t;

// The calling thread's identifier (creates its queue).
ThreadId GetCurrentThreadId();
// The thread that owns hwnd; 0 for a dead window. Any thread.
ThreadId GetWindowThreadId(Hwnd hwnd);

// Waits for the next message. False when it is WM_QUIT (msg holds it, with
// the exit code in wParam). hwnd (optional) limits the posted messages
// returned to that window's.
bool GetMessageW(Msg* msg, Hwnd hwnd = nullptr);
// Like GetMessageW without waiting: false when nothing is there.
bool PeekMessageW(Msg* msg, Hwnd hwnd = nullptr, unsigned options = 0x0001 /* PM_REMOVE */);
// Adds WM_CHAR after a WM_KEYDOWN that types a character. True when it did.
bool TranslateMessage(const Msg& msg);
// Calls the procedure of msg.hwnd; a message without a window is dropped
// (0). WM_TIMER with a callback in lParam calls it instead.
LRESULT DispatchMessageW(const Msg& msg);
// Runs GetMessageW / TranslateMessage / DispatchMessageW until WM_QUIT and
// returns its exit code.
int RunMessageLoop();

// Any thread. False when the window (or thread) is gone.
bool PostMessageW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);
bool PostThreadMessageW(ThreadId thread, unsigned msg, WPARAM wParam, LPARAM lParam);
// Ends the calling thread's loop: GetMessageW returns false with exitCode.
void PostQuitMessage(int exitCode);

// Calls the procedure and returns its result. For another thread's window
// the message is queued to that thread and the caller waits until it was
// handled; while waiting, the caller still handles messages that other
// threads send to it, so two threads sending to each other do not deadlock.
// 0 when the window is gone or its thread ends before handling it.
LRESULT SendMessageW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);
// Like SendMessageW, giving up after timeoutMs (the message may still be
// handled later). False on time-out or when the window is gone.
bool SendMessageTimeoutW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam,
                         unsigned timeoutMs, LRESULT* result);

// Timers. WM_TIMER (wParam = id) reaches hwnd every periodMs, at most one
// pending per timer. Setting an existing id restarts it with the new period.
// A timer with a callback calls it instead of the procedure. Any thread.
using TimerProc = void (*)(Hwnd hwnd, unsigned msg, uintptr_t id, uint32_t time);
uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned periodMs, TimerProc callback = nullptr);
bool KillTimer(Hwnd hwnd, uintptr_t id);

// Modal loop for hwnd on the calling thread (which must own it): disables
// the owner, shows the window and takes focus, and handles all of the
// thread's messages (its other windows keep their timers and posted
// messages) until EndModal, the destruction of the window, or WM_QUIT
// (which is posted again for the outer loop). Re-enables the owner and
// returns the EndModal result; 0 when the loop ended otherwise. Nested
// loops are fine.
int RunModalLoop(Hwnd hwnd);
// Ends hwnd's modal loop with result. Any thread. False when no modal loop
// runs for hwnd.
bool EndModal(Hwnd hwnd, int result);
// Whether a modal loop runs for hwnd.
bool IsModalRunning(Hwnd hwnd);

}  // namespace platform
