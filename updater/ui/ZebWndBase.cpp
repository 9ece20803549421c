#include "ZebWndBase.h"

#include "SkinResource.h"
#include "platform/language.h"

using namespace DuiLib;

namespace {
constexpr uint16_t kChinesePrc = 2052;
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
    return 0;
}

bool CZebWndBase::IsChineseUI() { return platform::GetUserDefaultUILanguage() == kChinesePrc; }
