// Helpers for the updater window tests: the off-screen mode, the language
// of the run, a window that shows a layout as loaded, and answering a modal
// window from another thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "platform/window/automation.h"

namespace tavlin_ui_test {

using namespace DuiLib;

// Every test runs off-screen, in the language it sets.
class UiTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetOffscreenMode(true); }
    static void UseLocale(const char* locale) { setenv("LC_ALL", locale, 1); }
    static void UseChinese() { UseLocale("zh_CN.UTF-8"); }
    static void UseEnglish() { UseLocale("en_US.UTF-8"); }
};

// A layout shown by the base class alone (the progress window's layouts
// have no window class of their own here).
class PreviewWnd : public CZebWndBase {
public:
    explicit PreviewWnd(std::u16string skinFile) : skinFile_(std::move(skinFile)) {
        Create(nullptr, u"preview", WS_OVERLAPPEDWINDOW, 0);
    }
    std::u16string_view GetWindowClassName() const override { return u"tavlin_preview"; }
    std::u16string GetSkinFile() override { return skinFile_; }

private:
    std::u16string skinFile_;
};

// Waits (bounded) on another thread until hwnd's modal loop runs, then
// calls act; the caller runs the modal loop meanwhile.
class ModalDriver {
public:
    ModalDriver(HWND hwnd, std::function<void(HWND)> act)
        : thread_([hwnd, act = std::move(act)] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
              while (!platform::IsModalRunning(hwnd) && std::chrono::steady_clock::now() < deadline)
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              act(hwnd);
          }) {}
    ~ModalDriver() { thread_.join(); }
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

private:
    std::thread thread_;
};

// A safety net for modal loops: closes hwnd with result 99 if the test's
// own action never ends the loop.
inline void ArmTimeout(HWND hwnd) {
    platform::SetTimer(hwnd, 0x5EED, 10000, [](HWND h, unsigned, uintptr_t, uint32_t) {
        platform::EndModal(h, 99);
    });
}

}  // namespace tavlin_ui_test
