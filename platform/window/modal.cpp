// Modal loops: one window's loop on its own thread, owner disabled.
#include "platform/window/messages.h"
#include "core.h"

namespace platform {

using namespace detail;

int RunModalLoop(Hwnd hwnd) {
    if (!IsOwnWindow(hwnd)) return 0;
    ModalFrame frame;
    Hwnd owner;
    {
        auto lock = CoreLock();
        hwnd->modalFrames.push_back(&frame);
        owner = hwnd->owner;
    }
    // Only an owner this loop disabled is enabled again afterwards, so
    // nested loops over one owner restore it once, at the outermost end.
    bool reenable = owner && IsWindowEnabled(owner);
    if (reenable) EnableWindow(owner, false);
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);

    for (;;) {
        {
            auto lock = CoreLock();
            if (frame.ended || !IsLiveLocked(hwnd)) break;
        }
        Msg msg;
        if (!GetMessageW(&msg)) {
            // The outer loop must see the quit too.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(msg);
        DispatchMessageW(msg);
    }
    {
        auto lock = CoreLock();
        if (IsLiveLocked(hwnd)) std::erase(hwnd->modalFrames, &frame);
    }
    if (reenable && IsWindow(owner)) {
        EnableWindow(owner, true);
        if (IsWindowVisible(owner) && IsOwnWindow(owner)) SetForegroundWindow(owner);
    }
    return frame.ended ? frame.result : 0;
}

bool EndModal(Hwnd hwnd, int result) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd) || hwnd->modalFrames.empty()) return false;
    ModalFrame* f = hwnd->modalFrames.back();
    f->ended = true;
    f->result = result;
    // Wakes GetMessageW in the loop so that it sees the end.
    Posted p;
    p.msg.message = WM_NULL;
    hwnd->queue->posted.push_back(p);
    hwnd->queue->Wake();
    return true;
}

bool IsModalRunning(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) && !hwnd->modalFrames.empty();
}

}  // namespace platform
