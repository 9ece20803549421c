// The leaf controls: label, button, progress bar, and the list.
#pragma once

#include <pango/pango.h>

#include <optional>

#include "duilib/UIContainer.h"

namespace DuiLib {

class CLabelUI : public CControlUI {
public:
    std::u16string_view GetClass() const override { return u"Label"; }

    int GetFont() const { return m_iFont; }
    void SetFont(int index);
    DWORD GetTextColor() const { return m_dwTextColor; }
    void SetTextColor(DWORD color);
    unsigned GetTextStyle() const { return m_uTextStyle; }
    void SetTextPadding(RECT rc);
    // Pixel size of the text in the label's font, wrapped at maxWidth when
    // it is above 0, else on one line.
    SIZE MeasureText(int maxWidth);
    // A single-line label whose text is wider than its fixed width asks for
    // the text's width (within what its parent offers), so a caption set at
    // run time is not cut.
    void SetAutoCalcWidth(bool on);
    bool IsAutoCalcWidth() const { return m_bAutoCalcWidth; }
    // Where the text is drawn now (client coordinates, pango's logical
    // extents of every line); empty without text. For tests and tools.
    RECT GetTextRect();

    // A new text that leaves the label's size as it is redraws the label
    // alone; one that changes it lays the window out again.
    void SetText(std::u16string_view text) override;
    void SetAttribute(std::u16string_view name, std::u16string_view value) override;
    SIZE EstimateSize(SIZE available) override;

protected:
    void PaintText(cairo_t* cr) override;
    // Draws m_sText in `color` inside the item rect less the text padding.
    void DrawText(cairo_t* cr, DWORD color);
    // The text's layout for cr and its top-left corner: the one placement
    // that drawing and GetTextRect share. nullptr without text or room.
    PangoLayout* PlaceText(cairo_t* cr, double* x, double* y);

    int m_iFont = -1;
    bool m_bAutoCalcWidth = false;
    DWORD m_dwTextColor = 0;
    // Unset: the library's grey. Every DWORD is a colour (0 is black).
    std::optional<DWORD> m_dwDisabledTextColor;
    unsigned m_uTextStyle = DT_LEFT | DT_VCENTER | DT_SINGLELINE;
    RECT m_rcTextPadding;
};

class CButtonUI : public CLabelUI {
public:
    CButtonUI();
    std::u16string_view GetClass() const override { return u"Button"; }

    // Colours of the caption while the mouse is over the button and while
    // it is pressed; unset (nullopt), the hot colour falls back to the
    // normal one and the pushed colour to the hot one. 0 is black, not
    // "unset": text colours ignore the alpha byte.
    void SetHotTextColor(std::optional<DWORD> color) { m_dwHotTextColor = color; Invalidate(); }
    std::optional<DWORD> GetHotTextColor() const { return m_dwHotTextColor; }
    void SetPushedTextColor(std::optional<DWORD> color) { m_dwPushedTextColor = color; Invalidate(); }
    std::optional<DWORD> GetPushedTextColor() const { return m_dwPushedTextColor; }
    const std::u16string& GetNormalImage() const { return m_sNormalImage; }
    const std::u16string& GetHotImage() const { return m_sHotImage; }
    const std::u16string& GetPushedImage() const { return m_sPushedImage; }
    bool IsHot() const { return m_bHot; }
    bool IsPushed() const { return m_bPushed; }

    // Sends the click notification, as a press and release on it does.
    bool Activate();

    void SetAttribute(std::u16string_view name, std::u16string_view value) override;
    bool IsMouseTarget() const override { return true; }
    void DoEvent(TEventUI& event) override;

protected:
    void PaintStatusImage(cairo_t* cr) override;
    void PaintText(cairo_t* cr) override;

    std::optional<DWORD> m_dwHotTextColor;
    std::optional<DWORD> m_dwPushedTextColor;
    std::u16string m_sNormalImage;
    std::u16string m_sHotImage;
    std::u16string m_sPushedImage;
    std::u16string m_sDisabledImage;
    bool m_bHot = false;
    bool m_bPushed = false;
};

class CProgressUI : public CLabelUI {
public:
    std::u16string_view GetClass() const override { return u"Progress"; }

    int GetMinValue() const { return m_nMin; }
    int GetMaxValue() const { return m_nMax; }
    int GetValue() const { return m_nValue; }
    // Kept within the range.
    void SetValue(int value);
    void SetMinValue(int value) { m_nMin = value; Invalidate(); }
    void SetMaxValue(int value) { m_nMax = value; Invalidate(); }
    const std::u16string& GetForeImage() const { return m_sForeImage; }

    void SetAttribute(std::u16string_view name, std::u16string_view value) override;

protected:
    void PaintStatusImage(cairo_t* cr) override;

    int m_nMin = 0;
    int m_nMax = 100;
    int m_nValue = 0;
    std::u16string m_sForeImage;
};

// A vertical list of item controls that scrolls with the mouse wheel when
// its vertical scroll bar is on and the items do not fit.
class CListUI : public CVerticalLayoutUI {
public:
    std::u16string_view GetClass() const override { return u"List"; }

    void EnableScrollBar(bool enableVertical = true, bool enableHorizontal = false);
    bool IsVerticalScrollBarEnabled() const { return m_bVScroll; }
    bool IsHeaderVisible() const { return m_bHeader; }
    int GetScrollPos() const { return m_iScroll; }
    int GetScrollRange() const { return m_iScrollRange; }
    void SetScrollPos(int pos);

    void SetAttribute(std::u16string_view name, std::u16string_view value) override;
    void SetPos(RECT rc) override;
    bool IsMouseTarget() const override { return true; }
    void DoEvent(TEventUI& event) override;
    CControlUI* FindControlAt(POINT pt) override;
    void DoPaint(cairo_t* cr) override;

protected:
    int ScrollOffset() const override { return m_iScroll; }

    bool m_bVScroll = false;
    bool m_bHScroll = false;
    bool m_bHeader = true;
    int m_iScroll = 0;
    int m_iScrollRange = 0;
};

}  // namespace DuiLib
