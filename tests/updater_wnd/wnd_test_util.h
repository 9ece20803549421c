// Helpers for the progress window tests: off-screen mode, the language of
// the run, pumping the window's thread, a job that is never started, and a
// stand-in for xdg-open that records the address it was given.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "UpdaterWnd.h"
#include "download/zipDownloader.h"
#include "platform/window/automation.h"
#include "platform/window/message_loop.h"
#include "temp_dir.h"

namespace wnd_test {

// A job that is created but never started; DoInstall only counts its calls
// and the thread they come from.
class IdleJob : public ZipDownloader {
public:
    explicit IdleJob(const UpdateParams& params) : ZipDownloader(params) {}
    void DoInstall() override {
        installThread = std::this_thread::get_id();
        ++installs;
    }
    std::atomic<int> installs{0};
    std::thread::id installThread;
};

inline void UseLocale(const char* locale) { setenv("LC_ALL", locale, 1); }
inline void UseChinese() { UseLocale("zh_CN.UTF-8"); }
inline void UseEnglish() { UseLocale("en_US.UTF-8"); }

// Handles the calling thread's messages until `done` holds or `ms` have
// passed. Returns true when the thread's quit message came (it is taken).
inline bool PumpUntil(const std::function<bool()>& done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        platform::Msg msg;
        while (platform::PeekMessageW(&msg, nullptr, 0x0001)) {
            if (msg.message == platform::WM_QUIT) return true;
            platform::TranslateMessage(msg);
            platform::DispatchMessageW(msg);
        }
        if (done && done()) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Pumps until the quit message arrives; false when it did not within `ms`.
inline bool PumpUntilQuit(int ms) { return PumpUntil({}, ms); }

// Drops whatever an earlier test left in this thread's queue (a quit).
inline void DrainQueue() { PumpUntil([] { return true; }, 0); }

// Every test runs off-screen, with a clean queue, and restores the
// language it found.
class WndTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetOffscreenMode(true);
        const char* all = std::getenv("LC_ALL");
        savedLocale_ = all ? all : "";
        DrainQueue();
    }
    void TearDown() override {
        if (savedLocale_.empty()) unsetenv("LC_ALL");
        else setenv("LC_ALL", savedLocale_.c_str(), 1);
    }

private:
    std::string savedLocale_;
};

// Puts a script named xdg-open first on PATH for the life of the object;
// it appends each address it gets to a file.
class FakeBrowser {
public:
    explicit FakeBrowser(const tavlin_test::TempDir& dir);
    ~FakeBrowser();
    FakeBrowser(const FakeBrowser&) = delete;
    FakeBrowser& operator=(const FakeBrowser&) = delete;

    // The addresses opened so far, one per line.
    std::string Opened() const;
    // Waits (at most ms) until something was opened.
    bool WaitOpened(int ms) const;

private:
    std::string record_;
    std::string oldPath_;
};

}  // namespace wnd_test
