// CTipsBoxWnd: the prompt box. A message, a confirm button and, when bit 0
// of the mode is set, a cancel button. ShowModal answers 1 for confirm
// (button or Enter) and 2 for cancel, the close button or Escape.
#pragma once

#include "ZebWndBase.h"

class CTipsBoxWnd : public CZebWndBase {
public:
    // Creates the box (owner may be nullptr) on the calling thread, centred.
    // Mode 2 leaves the confirm caption empty for the caller; every other
    // mode captions it "确定".
    CTipsBoxWnd(DuiLib::HWND owner, std::u16string_view text, int mode);
    ~CTipsBoxWnd() override;

    std::u16string_view GetWindowClassName() const override { return u"zeb_updater_tips_wnd_class_name"; }
    std::u16string GetSkinFile() override;
    DuiLib::LRESULT HandleMessage(DuiLib::UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam) override;
    void InitWindow() override;
    DuiLib::LRESULT OnCreate(DuiLib::UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam,
                             bool& bHandled) override;
    void Notify(DuiLib::TNotifyUI& msg) override;

    DuiLib::CLabelUI* tipsLabel = nullptr;
    DuiLib::CButtonUI* cancelButton = nullptr;
    DuiLib::CButtonUI* confirmButton = nullptr;
    int mode = 0;
    std::u16string text;
};
