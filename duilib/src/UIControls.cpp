// Label, button, progress bar and list.
#include "duilib/UIControls.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

#include "duilib/UIManager.h"
#include "platform/text.h"
#include "platform/window/paint.h"

namespace DuiLib {

namespace {

constexpr DWORD kDisabledGrey = 0x00A7A6AA;

// Text colours ignore the alpha byte, as GDI text does: "#FF6C00" and
// 0x00000000 are opaque orange and black.
void SetTextSource(cairo_t* cr, DWORD c) {
    cairo_set_source_rgb(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0);
}

PangoLayout* MakeLayout(cairo_t* cr, CPaintManagerUI* manager, int font, std::u16string_view text) {
    static const TFontInfo fallback{u"微软雅黑", 12, false, false, false};
    const TFontInfo& f = manager ? manager->GetFontInfo(font) : fallback;
    std::string family = platform::Utf16ToUtf8(f.sFontName);
    return platform::CreateTextLayout(cr, text, family.c_str(), f.iSize, f.bBold);
}

}  // namespace

void CLabelUI::SetFont(int index) {
    m_iFont = index;
    Invalidate();
}

void CLabelUI::SetTextColor(DWORD color) {
    m_dwTextColor = color;
    Invalidate();
}

void CLabelUI::SetTextPadding(RECT rc) {
    m_rcTextPadding = rc;
    Invalidate();
}

void CLabelUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"font") SetFont(ParseInt(value));
    else if (name == u"textcolor") SetTextColor(ParseColor(value));
    else if (name == u"disabledtextcolor") m_dwDisabledTextColor = ParseColor(value);
    else if (name == u"textpadding") SetTextPadding(ParseRect(value));
    else if (name == u"align") {
        m_uTextStyle &= ~(DT_CENTER | DT_RIGHT);
        if (value == u"center") m_uTextStyle |= DT_CENTER;
        else if (value == u"right") m_uTextStyle |= DT_RIGHT;
    } else if (name == u"valign") {
        m_uTextStyle &= ~(DT_VCENTER | DT_BOTTOM);
        if (value == u"vcenter" || value == u"center") m_uTextStyle |= DT_VCENTER;
        else if (value == u"bottom") m_uTextStyle |= DT_BOTTOM;
    } else if (name == u"multiline") {
        if (ParseBool(value)) m_uTextStyle &= ~DT_SINGLELINE;
        else m_uTextStyle |= DT_SINGLELINE;
    } else if (name == u"autocalcwidth") {
        SetAutoCalcWidth(ParseBool(value));
    } else if (name == u"wordbreak") {
        if (ParseBool(value)) m_uTextStyle |= DT_WORDBREAK;
        else m_uTextStyle &= ~DT_WORDBREAK;
    } else {
        CControlUI::SetAttribute(name, value);
    }
}

SIZE CLabelUI::MeasureText(int maxWidth) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(s);
    PangoLayout* layout = MakeLayout(cr, m_pManager, m_iFont, m_sText);
    if (maxWidth > 0) {
        pango_layout_set_width(layout, maxWidth * PANGO_SCALE);
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    }
    SIZE size;
    pango_layout_get_pixel_size(layout, &size.cx, &size.cy);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return size;
}

void CLabelUI::SetText(std::u16string_view text) {
    if (m_sText == text) return;
    const bool wraps = !(m_uTextStyle & DT_SINGLELINE) && (m_uTextStyle & DT_WORDBREAK);
    const bool tallAsText = wraps && m_cxyFixed.cy == 0;
    if (m_bAutoCalcWidth || m_rcItem.Empty()) {
        CControlUI::SetText(text);
        return;
    }
    const int oldHeight = tallAsText ? EstimateSize(SIZE{m_rcItem.Width(), 0}).cy : 0;
    m_sText = text;
    if (tallAsText && EstimateSize(SIZE{m_rcItem.Width(), 0}).cy != oldHeight) NeedParentUpdate();
    else Invalidate();
}

void CLabelUI::SetAutoCalcWidth(bool on) {
    m_bAutoCalcWidth = on;
    NeedParentUpdate();
}

SIZE CLabelUI::EstimateSize(SIZE available) {
    SIZE sz = m_cxyFixed;
    const int padX = m_rcTextPadding.left + m_rcTextPadding.right;
    if (m_bAutoCalcWidth && (m_uTextStyle & DT_SINGLELINE) && !m_sText.empty()) {
        const int want = MeasureText(0).cx + padX;
        sz.cx = std::max(sz.cx, available.cx > 0 ? std::min(want, available.cx) : want);
    }
    // A wrapping label without a height is as tall as its text at the
    // width it will get, which the parent may make narrower than asked.
    if (sz.cy == 0 && !(m_uTextStyle & DT_SINGLELINE) && (m_uTextStyle & DT_WORDBREAK)) {
        int width = sz.cx ? sz.cx : available.cx;
        if (available.cx > 0) width = std::min(width, available.cx);
        width -= padX;
        if (width > 0) sz.cy = MeasureText(width).cy + m_rcTextPadding.top + m_rcTextPadding.bottom;
    }
    return sz;
}

void CLabelUI::PaintText(cairo_t* cr) {
    DrawText(cr, m_bEnabled ? m_dwTextColor : m_dwDisabledTextColor.value_or(kDisabledGrey));
}

PangoLayout* CLabelUI::PlaceText(cairo_t* cr, double* x, double* y) {
    if (m_sText.empty()) return nullptr;
    RECT rc{m_rcItem.left + m_rcTextPadding.left, m_rcItem.top + m_rcTextPadding.top,
            m_rcItem.right - m_rcTextPadding.right, m_rcItem.bottom - m_rcTextPadding.bottom};
    if (rc.Empty()) return nullptr;
    PangoLayout* layout = MakeLayout(cr, m_pManager, m_iFont, m_sText);
    int w = 0, h = 0;
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    if (!(m_uTextStyle & DT_SINGLELINE) && (m_uTextStyle & DT_WORDBREAK)) {
        pango_layout_set_width(layout, rc.Width() * PANGO_SCALE);
    } else {
        // A line too long for the label wraps when the label is tall
        // enough for the lines, rather than being cut at its edge.
        pango_layout_get_pixel_size(layout, &w, &h);
        if (w > rc.Width()) {
            pango_layout_set_width(layout, rc.Width() * PANGO_SCALE);
            pango_layout_get_pixel_size(layout, &w, &h);
            if (h > rc.Height()) pango_layout_set_width(layout, -1);
        }
    }
    PangoAlignment align = PANGO_ALIGN_LEFT;
    if (m_uTextStyle & DT_CENTER) align = PANGO_ALIGN_CENTER;
    else if (m_uTextStyle & DT_RIGHT) align = PANGO_ALIGN_RIGHT;
    pango_layout_set_alignment(layout, align);
    pango_layout_get_pixel_size(layout, &w, &h);
    *x = rc.left;
    if (pango_layout_get_width(layout) < 0) {
        // Unwrapped text is placed by its own width.
        if (m_uTextStyle & DT_CENTER) *x = rc.left + (rc.Width() - w) / 2.0;
        else if (m_uTextStyle & DT_RIGHT) *x = rc.right - w;
    }
    *y = rc.top;
    if (m_uTextStyle & DT_VCENTER) *y = rc.top + (rc.Height() - h) / 2.0;
    else if (m_uTextStyle & DT_BOTTOM) *y = rc.bottom - h;
    return layout;
}

RECT CLabelUI::GetTextRect() {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(s);
    RECT out;
    double x = 0, y = 0;
    if (PangoLayout* layout = PlaceText(cr, &x, &y)) {
        PangoRectangle logical;
        pango_layout_get_pixel_extents(layout, nullptr, &logical);
        out = RECT{static_cast<int>(std::floor(x + logical.x)), static_cast<int>(std::floor(y + logical.y)),
                   static_cast<int>(std::ceil(x + logical.x + logical.width)),
                   static_cast<int>(std::ceil(y + logical.y + logical.height))};
        g_object_unref(layout);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return out;
}

void CLabelUI::DrawText(cairo_t* cr, DWORD color) {
    double x = 0, y = 0;
    PangoLayout* layout = PlaceText(cr, &x, &y);
    if (!layout) return;
    cairo_save(cr);
    cairo_rectangle(cr, m_rcItem.left + m_rcTextPadding.left, m_rcItem.top + m_rcTextPadding.top,
                    m_rcItem.Width() - m_rcTextPadding.left - m_rcTextPadding.right,
                    m_rcItem.Height() - m_rcTextPadding.top - m_rcTextPadding.bottom);
    cairo_clip(cr);
    SetTextSource(cr, color);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    cairo_restore(cr);
    g_object_unref(layout);
}

CButtonUI::CButtonUI() { m_uTextStyle = DT_CENTER | DT_VCENTER | DT_SINGLELINE; }

bool CButtonUI::Activate() {
    if (!m_bVisible || !m_bEnabled || !m_pManager) return false;
    m_pManager->SendNotify(this, DUI_MSGTYPE_CLICK);
    return true;
}

void CButtonUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"normalimage") m_sNormalImage = value;
    else if (name == u"hotimage") m_sHotImage = value;
    else if (name == u"pushedimage") m_sPushedImage = value;
    else if (name == u"disabledimage") m_sDisabledImage = value;
    else if (name == u"hottextcolor") SetHotTextColor(ParseColor(value));
    else if (name == u"pushedtextcolor") SetPushedTextColor(ParseColor(value));
    else CLabelUI::SetAttribute(name, value);
}

void CButtonUI::DoEvent(TEventUI& event) {
    switch (event.type) {
    case UIEvent::MouseEnter:
        m_bHot = true;
        Invalidate();
        break;
    case UIEvent::MouseLeave:
        m_bHot = false;
        Invalidate();
        break;
    case UIEvent::ButtonDown:
        m_bPushed = true;
        Invalidate();
        break;
    case UIEvent::MouseMove:
        break;
    case UIEvent::ButtonUp: {
        bool wasPushed = m_bPushed;
        m_bPushed = false;
        Invalidate();
        // A press released outside the button clicks nothing.
        if (wasPushed && m_rcItem.Contains(event.ptMouse)) Activate();
        break;
    }
    default:
        CLabelUI::DoEvent(event);
        break;
    }
}

void CButtonUI::PaintStatusImage(cairo_t* cr) {
    if (!m_bEnabled && !m_sDisabledImage.empty() && DrawImage(cr, m_sDisabledImage, m_rcItem)) return;
    if (m_bPushed && !m_sPushedImage.empty() && DrawImage(cr, m_sPushedImage, m_rcItem)) return;
    if (m_bHot && !m_sHotImage.empty() && DrawImage(cr, m_sHotImage, m_rcItem)) return;
    if (!m_sNormalImage.empty()) DrawImage(cr, m_sNormalImage, m_rcItem);
}

void CButtonUI::PaintText(cairo_t* cr) {
    DWORD color = m_dwTextColor;
    if (!m_bEnabled) color = m_dwDisabledTextColor.value_or(kDisabledGrey);
    else if (m_bPushed) color = m_dwPushedTextColor.value_or(m_dwHotTextColor.value_or(color));
    else if (m_bHot) color = m_dwHotTextColor.value_or(color);
    DrawText(cr, color);
}

void CProgressUI::SetValue(int value) {
    m_nValue = std::clamp(value, std::min(m_nMin, m_nMax), std::max(m_nMin, m_nMax));
    Invalidate();
}

void CProgressUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"foreimage") m_sForeImage = value;
    else if (name == u"min") SetMinValue(ParseInt(value));
    else if (name == u"max") SetMaxValue(ParseInt(value));
    else if (name == u"value") SetValue(ParseInt(value));
    else CLabelUI::SetAttribute(name, value);
}

void CProgressUI::PaintStatusImage(cairo_t* cr) {
    if (m_nMax <= m_nMin || m_sForeImage.empty()) return;
    long long done = static_cast<long long>(m_rcItem.Width()) * (m_nValue - m_nMin) / (m_nMax - m_nMin);
    if (done <= 0) return;
    RECT rc = m_rcItem;
    rc.right = rc.left + static_cast<int>(done);
    DrawImage(cr, m_sForeImage, rc);
}

void CListUI::EnableScrollBar(bool enableVertical, bool enableHorizontal) {
    m_bVScroll = enableVertical;
    m_bHScroll = enableHorizontal;
    if (!m_bVScroll) m_iScroll = 0;
    NeedParentUpdate();
}

void CListUI::SetScrollPos(int pos) {
    int clamped = std::clamp(pos, 0, m_iScrollRange);
    if (clamped == m_iScroll) return;
    m_iScroll = clamped;
    NeedParentUpdate();
}

void CListUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"header") m_bHeader = value != u"hidden" && value != u"false";
    else if (name == u"vscrollbar") EnableScrollBar(ParseBool(value), m_bHScroll);
    else if (name == u"hscrollbar") EnableScrollBar(m_bVScroll, ParseBool(value));
    else CVerticalLayoutUI::SetAttribute(name, value);
}

void CListUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    if (m_bVScroll) inner.right -= 8;  // room for the scroll bar
    // Items keep their own heights: a list stacks, it does not stretch.
    int y = inner.top - m_iScroll;
    int total = 0;
    for (auto& item : m_items) {
        if (!item->IsVisible() || item->IsFloat()) continue;
        const RECT& p = item->GetPadding();
        SIZE sz = item->EstimateSize(SIZE{inner.Width() - p.left - p.right, 0});
        int h = sz.cy ? sz.cy : 20;
        const int space = std::max(0, inner.Width() - p.left - p.right);
        int w = sz.cx ? std::min(sz.cx, space) : space;
        item->SetPos(RECT{inner.left + p.left, y + p.top, inner.left + p.left + w, y + p.top + h});
        y += p.top + h + p.bottom + m_iChildPadding;
        total += p.top + h + p.bottom + m_iChildPadding;
    }
    m_iScrollRange = m_bVScroll ? std::max(0, total - inner.Height()) : 0;
    if (m_iScroll > m_iScrollRange) {
        m_iScroll = m_iScrollRange;
        SetPos(rc);
    }
}

void CListUI::DoEvent(TEventUI& event) {
    if (event.type == UIEvent::ScrollWheel && m_bVScroll) {
        // Windows wheel deltas: positive is away from the user (scroll up).
        int delta = static_cast<int16_t>((event.wParam >> 16) & 0xFFFF);
        SetScrollPos(m_iScroll + (delta > 0 ? -20 : 20));
        return;
    }
    CVerticalLayoutUI::DoEvent(event);
}

CControlUI* CListUI::FindControlAt(POINT pt) {
    if (!m_bVisible || !m_rcItem.Contains(pt)) return nullptr;
    CControlUI* inner = CContainerUI::FindControlAt(pt);
    return inner ? inner : this;
}

void CListUI::DoPaint(cairo_t* cr) {
    CContainerUI::DoPaint(cr);
    if (!m_bVisible || m_iScrollRange <= 0) return;
    RECT inner = InnerRect();
    const double track = inner.Height();
    const double content = track + m_iScrollRange;
    const double thumb = std::max(16.0, track * track / content);
    const double top = inner.top + (track - thumb) * m_iScroll / m_iScrollRange;
    cairo_save(cr);
    cairo_set_source_rgba(cr, 0.6, 0.6, 0.6, 0.8);
    cairo_rectangle(cr, inner.right - 6, top, 4, thumb);
    cairo_fill(cr);
    cairo_restore(cr);
}

}  // namespace DuiLib
