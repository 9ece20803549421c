// CZebWndBase: the base of the updater's windows. Layouts come from the
// skin archive built into the program; Escape closes a window with 2 and
// Enter with 1, modal or not.
#pragma once

#include "duilib/UIlib.h"

class CZebWndBase : public DuiLib::WindowImplBase {
public:
    CZebWndBase();
    ~CZebWndBase() override;

    DuiLib::UINT GetClassStyle() const override;
    std::u16string GetSkinFolder() override { return {}; }
    DuiLib::UILIB_RESOURCETYPE GetResourceType() const override { return DuiLib::UILIB_ZIPRESOURCE; }
    int GetResourceID() const override;
    DuiLib::LRESULT MessageHandler(DuiLib::UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam,
                                   bool& bHandled) override;

    // The language decision, asked anew each time: true for Chinese (2052).
    static bool IsChineseUI();
};
