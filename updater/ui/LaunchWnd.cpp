#include "LaunchWnd.h"

#include "SkinResource.h"
#include "platform/spawn.h"

using namespace DuiLib;

CLaunchWnd::CLaunchWnd() {
    Create(nullptr, IsChineseUI() ? u"升级程序" : u"Update Program", WS_VISIBLE | WS_OVERLAPPEDWINDOW,
           WS_EX_WINDOWEDGE);
    SetIcon(zeb_ui::kIconResourceId);
    // Shown during a forced installation while the progress window, which
    // stays on top, is still up.
    if (m_hWnd) platform::SetWindowTopmost(m_hWnd, true);
}

CLaunchWnd::~CLaunchWnd() = default;

std::u16string CLaunchWnd::GetSkinFile() { return IsChineseUI() ? u"LaunchWnd.xml" : u"LaunchWnd_en.xml"; }

LRESULT CLaunchWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return WindowImplBase::HandleMessage(uMsg, wParam, lParam);
}

void CLaunchWnd::Notify(TNotifyUI& msg) {
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender) return;
    const std::u16string& name = msg.pSender->GetName();
    if (name == u"closeButton") {
        Close(1);
    } else if (name == u"launchButton") {
        // Nothing to start without a program; the window still closes.
        if (!program.empty()) platform::ShellOpenProgram(program, parameters);
        Close(1);
    }
}
