#include "ZebWndBase.h"

#include <algorithm>

#include "SkinResource.h"
#include "platform/language.h"

using namespace DuiLib;

namespace {
constexpr uint16_t kChinesePrc = 2052;
constexpr int kLineMargin = 6;  // kept free around wrapped lines
constexpr int kMaxGrowth = 400;
}  // namespace

CZebWndBase::CZebWndBase() { zeb_ui::RegisterSkinResources(); }

CZebWndBase::~CZebWndBase() = default;

UINT CZebWndBase::GetClassStyle() const { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS; }

int CZebWndBase::GetResourceID() const { return zeb_ui::kSkinResourceId; }

LRESULT CZebWndBase::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM, bool& bHandled) {
    if (uMsg == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) {
        Close(wParam == VK_ESCAPE ? 2 : 1);
        bHandled = true;
        return 1;
    }
    // The window manager's close (Alt+F4, a task list's close) cancels, as
    // Escape does.
    if (uMsg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) {
        Close(2);
        bHandled = true;
        return 0;
    }
    return 0;
}

void CZebWndBase::FitLabelRow(HWND hwnd, CLabelUI& label) {
    CControlUI* row = label.GetParent();
    RECT client;
    if (!row || row->GetFixedHeight() <= 0 || !GetClientRect(hwnd, &client)) return;
    const int width = client.Width() - row->GetPadding().left - row->GetPadding().right;
    // Line breaks make a text tall while each line may fit the width.
    const bool breaks = label.GetText().find(u'\n') != std::u16string::npos;
    if (width <= 0 || (label.MeasureText(0).cx <= width && !breaks)) return;
    label.SetAttribute(u"multiline", u"true");
    label.SetAttribute(u"wordbreak", u"true");
    const int needed = label.MeasureText(width).cy + kLineMargin;
    const int extra = std::min(needed - row->GetFixedHeight(), kMaxGrowth);
    if (extra <= 0) return;
    row->SetFixedHeight(row->GetFixedHeight() + extra);
    if (label.GetFixedHeight() > 0) label.SetFixedHeight(row->GetFixedHeight());
    RECT frame;
    if (GetWindowRect(hwnd, &frame)) MoveWindow(hwnd, frame.left, frame.top, frame.Width(), frame.Height() + extra);
}

bool CZebWndBase::IsChineseUI() { return platform::GetUserDefaultUILanguage() == kChinesePrc; }
