// CLaunchWnd: the update-finished window. Both of its buttons close it
// with 1; the launch button first starts `program` with `parameters`.
#pragma once

#include <string>

#include "ZebWndBase.h"

class CLaunchWnd : public CZebWndBase {
public:
    // Creates the window hidden on the calling thread; the caller centres
    // it and shows it modally.
    CLaunchWnd();
    ~CLaunchWnd() override;

    std::u16string_view GetWindowClassName() const override { return u"zeb_updater_launch_wnd_class_name"; }
    std::u16string GetSkinFile() override;
    DuiLib::LRESULT HandleMessage(DuiLib::UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam) override;
    void Notify(DuiLib::TNotifyUI& msg) override;

    std::string program;
    std::string parameters;
};
