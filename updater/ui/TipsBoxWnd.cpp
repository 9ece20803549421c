#include "TipsBoxWnd.h"

#include <algorithm>

using namespace DuiLib;

namespace {

constexpr DWORD kTipsBoxStyle = 0x96C80000;  // popup, visible, clip siblings/children, caption, system menu
constexpr int kLineMargin = 6;               // kept free around wrapped message lines
constexpr int kMaxGrowth = 400;

// The message row is one line high. A message wider than the box wraps,
// and the row and the box grow by the extra lines, so that no part of the
// message is cut off; the width stays.
void FitMessage(HWND hwnd, CLabelUI& label) {
    CControlUI* row = label.GetParent();
    RECT client;
    if (!row || !GetClientRect(hwnd, &client)) return;
    const int width = client.Width() - row->GetPadding().left - row->GetPadding().right;
    if (width <= 0 || label.MeasureText(0).cx <= width) return;
    label.SetAttribute(u"multiline", u"true");
    label.SetAttribute(u"wordbreak", u"true");
    const int needed = label.MeasureText(width).cy + kLineMargin;
    const int extra = std::min(needed - row->GetFixedHeight(), kMaxGrowth);
    if (extra <= 0) return;
    row->SetFixedHeight(row->GetFixedHeight() + extra);
    label.SetFixedHeight(row->GetFixedHeight());
    RECT frame;
    if (GetWindowRect(hwnd, &frame)) MoveWindow(hwnd, frame.left, frame.top, frame.Width(), frame.Height() + extra);
}

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
        FitMessage(m_hWnd, *tipsLabel);
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
