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

protected:
    // For a label alone in a row of fixed height across the window: when
    // its text is wider than the row it wraps, and the row and the window
    // grow by the extra lines so that none of it is cut; the width stays.
    // Never shrinks, so a status line that changes every second does not
    // make the window jump.
    static void FitLabelRow(DuiLib::HWND hwnd, DuiLib::CLabelUI& label);
};
