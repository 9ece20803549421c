// Helpers for window-system tests: windows whose procedure is a lambda, a
// thread running its own message loop, and bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "platform/window/message_loop.h"
#include "platform/window/messages.h"
#include "platform/window/window.h"

namespace tavlin_window_test {

using namespace platform;

// Answers a message, or nothing to let DefWindowProcW handle it.
using Handler = std::function<std::optional<LRESULT>(Hwnd, unsigned, WPARAM, LPARAM)>;

inline LRESULT HandlerProc(Hwnd hwnd, unsigned msg, WPARAM w, LPARAM l) {
    if (auto* h = static_cast<Handler*>(GetWindowUserData(hwnd)); h && *h)
        if (auto r = (*h)(hwnd, msg, w, l)) return *r;
    return DefWindowProcW(hwnd, msg, w, l);
}

inline Hwnd MakeWindow(Handler* handler, std::u16string_view title = u"test", Hwnd owner = nullptr,
                       uint32_t style = WS_OVERLAPPEDWINDOW) {
    CreateWindowParams p;
    p.className = u"tavlin_test";
    p.title = title;
    p.proc = HandlerProc;
    p.userData = handler;
    p.owner = owner;
    p.style = style;
    p.width = 200;
    p.height = 120;
    return CreateWindowW(p);
}

// Runs the calling thread's messages until cond holds or timeoutMs passed.
inline bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Msg m;
        while (PeekMessageW(&m, nullptr, PM_REMOVE)) {
            if (m.message == WM_QUIT) return cond();
            TranslateMessage(m);
            DispatchMessageW(m);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A thread that creates one window with `handler` and runs its message loop
// until the object goes.
class LoopThread {
public:
    explicit LoopThread(Handler handler) : handler_(std::move(handler)) {
        std::promise<std::pair<Hwnd, ThreadId>> ready;
        auto got = ready.get_future();
        thread_ = std::thread([this, &ready] {
            Hwnd w = MakeWindow(&handler_, u"loop");
            ready.set_value({w, GetCurrentThreadId()});
            RunMessageLoop();
            if (IsWindow(w)) DestroyWindow(w);
        });
        auto [w, id] = got.get();
        hwnd_ = w;
        id_ = id;
    }
    ~LoopThread() {
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    Hwnd hwnd() const { return hwnd_; }
    ThreadId id() const { return id_; }

private:
    Handler handler_;
    std::thread thread_;
    Hwnd hwnd_ = nullptr;
    ThreadId id_ = 0;
};

// Waits for a future; a hang (a deadlock under test) fails the whole run
// at once instead of blocking it.
template <typename T>
T GetWithin(std::future<T>& f, int timeoutMs, const char* what) {
    if (f.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        std::fprintf(stderr, "timed out waiting for %s\n", what);
        std::_Exit(1);
    }
    return f.get();
}

}  // namespace tavlin_window_test
