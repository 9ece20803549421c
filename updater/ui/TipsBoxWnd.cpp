#include "TipsBoxWnd.h"

using namespace DuiLib;

namespace {

constexpr DWORD kTipsBoxStyle = 0x96C80000;  // popup, visible, clip siblings/children, caption, system menu

}  // namespace

CTipsBoxWnd::CTipsBoxWnd(HWND owner, std::u16string_view message, int boxMode) : mode(boxMode), text(message) {
    Create(owner, u"vostrapanel提示", kTipsBoxStyle, WS_EX_TOOLWINDOW);
}

CTipsBoxWnd::~CTipsBoxWnd() = default;

std::u16string CTipsBoxWnd::GetSkinFile() { return IsChineseUI() ? u"TipsBoxWnd.xml" : u"TipsBoxWnd_en.xml"; }

LRESULT CTipsBoxWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return WindowImplBase::HandleMessage(uMsg, wParam, lParam);
}

LRESULT CTipsBoxWnd::OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled) {
    LRESULT result = WindowImplBase::OnCreate(uMsg, wParam, lParam, bHandled);
    CenterWindow();
    return result;
}

void CTipsBoxWnd::InitWindow() {
    tipsLabel = dynamic_cast<CLabelUI*>(m_PaintManager.FindControl(u"tipsLabel"));
    cancelButton = dynamic_cast<CButtonUI*>(m_PaintManager.FindControl(u"cancelButton"));
    confirmButton = dynamic_cast<CButtonUI*>(m_PaintManager.FindControl(u"confirmButton"));
    if (confirmButton) {
        confirmButton->SetText(mode == 2 ? u"" : u"确定");
        confirmButton->SetTextColor(0x00000000);
        confirmButton->SetHotTextColor(0x00FFFFFF);
        confirmButton->SetPushedTextColor(0x00B2C3CC);
    }
    if (cancelButton) cancelButton->SetVisible((mode & 1) != 0);
    if (tipsLabel) {
        tipsLabel->SetText(text);
        FitLabelRow(m_hWnd, *tipsLabel);
    }
    // The progress window stays on top; a prompt shown while it is up must
    // not open behind it.
    platform::SetWindowTopmost(m_hWnd, true);
}

void CTipsBoxWnd::Notify(TNotifyUI& msg) {
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender) return;
    const std::u16string& name = msg.pSender->GetName();
    if (name == u"closeButton" || name == u"cancelButton") Close(2);
    else if (name == u"confirmButton") Close(1);
}
