// Containers and the stacking layouts.
#include "duilib/UIContainer.h"

#include <algorithm>

#include "duilib/UIManager.h"

namespace DuiLib {

namespace {

unsigned ParseAlign(std::u16string_view value) {
    if (value == u"center" || value == u"vcenter") return DT_CENTER | DT_VCENTER;
    if (value == u"right") return DT_RIGHT;
    if (value == u"bottom") return DT_BOTTOM;
    return 0;
}

bool Placed(const CControlUI& c) { return c.IsVisible() && !c.IsFloat(); }

}  // namespace

bool CContainerUI::Add(CControlUI* control) {
    if (!control) return false;
    m_items.emplace_back(control);
    control->SetManager(m_pManager, this);
    NeedParentUpdate();
    return true;
}

void CContainerUI::RemoveAll() {
    m_items.clear();
    NeedParentUpdate();
}

CControlUI* CContainerUI::GetItemAt(int index) const {
    if (index < 0 || index >= GetCount()) return nullptr;
    return m_items[static_cast<size_t>(index)].get();
}

void CContainerUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"inset") SetInset(ParseRect(value));
    else if (name == u"childpadding") SetChildPadding(ParseInt(value));
    else if (name == u"childalign") m_childAlign = ParseAlign(value) & (DT_CENTER | DT_RIGHT);
    else if (name == u"childvalign") m_childVAlign = ParseAlign(value) & (DT_VCENTER | DT_BOTTOM);
    else CControlUI::SetAttribute(name, value);
}

void CContainerUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    CControlUI::SetManager(manager, parent);
    for (auto& item : m_items) item->SetManager(manager, this);
}

CControlUI* CContainerUI::FindControl(std::u16string_view name) {
    if (CControlUI* self = CControlUI::FindControl(name)) return self;
    for (auto& item : m_items)
        if (CControlUI* found = item->FindControl(name)) return found;
    return nullptr;
}

CControlUI* CContainerUI::FindControlAt(POINT pt) {
    if (!m_bVisible || !m_rcItem.Contains(pt)) return nullptr;
    // Later children are drawn above earlier ones.
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
        if (CControlUI* found = (*it)->FindControlAt(pt)) return found;
    return CControlUI::FindControlAt(pt);
}

void CContainerUI::ForEach(const std::function<void(CControlUI&)>& fn) {
    fn(*this);
    for (auto& item : m_items) item->ForEach(fn);
}

RECT CContainerUI::InnerRect() const {
    return RECT{m_rcItem.left + m_rcInset.left, m_rcItem.top + m_rcInset.top,
                m_rcItem.right - m_rcInset.right, m_rcItem.bottom - m_rcInset.bottom};
}

void CContainerUI::PlaceFloating(const RECT& inner) {
    for (auto& item : m_items) {
        if (!item->IsFloat() || !item->IsVisible()) continue;
        SIZE xy = item->GetFixedXY();
        int x = inner.left + xy.cx;
        int y = inner.top + xy.cy;
        item->SetPos(RECT{x, y, x + item->GetFixedWidth(), y + item->GetFixedHeight()});
    }
}

void CContainerUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        const RECT& p = item->GetPadding();
        item->SetPos(RECT{inner.left + p.left, inner.top + p.top, inner.right - p.right, inner.bottom - p.bottom});
    }
    PlaceFloating(inner);
}

void CContainerUI::DoPaint(cairo_t* cr) {
    if (!m_bVisible || m_rcItem.Empty()) return;
    CControlUI::DoPaint(cr);
    cairo_save(cr);
    cairo_rectangle(cr, m_rcItem.left, m_rcItem.top, m_rcItem.Width(), m_rcItem.Height());
    cairo_clip(cr);
    for (auto& item : m_items) item->DoPaint(cr);
    cairo_restore(cr);
}

void CVerticalLayoutUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    LayoutChildren(inner, 0);
    PlaceFloating(inner);
}

int CVerticalLayoutUI::LayoutChildren(RECT inner, int offset) {
    const int width = std::max(0, inner.Width());
    int adjustable = 0, fixed = 0, placed = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        const RECT& p = item->GetPadding();
        SIZE sz = item->EstimateSize(SIZE{width - p.left - p.right, 0});
        if (sz.cy == 0) ++adjustable;
        else fixed += sz.cy;
        fixed += p.top + p.bottom;
        ++placed;
    }
    if (placed > 1) fixed += (placed - 1) * m_iChildPadding;
    const int room = std::max(0, inner.Height() - fixed);
    const int share = adjustable ? room / adjustable : 0;
    int y = inner.top - offset;
    if (adjustable == 0 && room > 0) {
        if (m_childVAlign & DT_VCENTER) y += room / 2;
        else if (m_childVAlign & DT_BOTTOM) y += room;
    }
    int seenAdjustable = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        const RECT& p = item->GetPadding();
        SIZE sz = item->EstimateSize(SIZE{width - p.left - p.right, 0});
        int h = sz.cy;
        if (h == 0) {
            // The last flexible child takes what the division left over.
            h = ++seenAdjustable == adjustable ? room - share * (adjustable - 1) : share;
        }
        int w = sz.cx ? sz.cx : std::max(0, width - p.left - p.right);
        int x = inner.left + p.left;
        if (sz.cx && (m_childAlign & DT_CENTER)) x = inner.left + (width - w) / 2;
        else if (sz.cx && (m_childAlign & DT_RIGHT)) x = inner.right - p.right - w;
        item->SetPos(RECT{x, y + p.top, x + w, y + p.top + h});
        y += p.top + h + p.bottom + m_iChildPadding;
    }
    return fixed + (adjustable ? room : 0);
}

void CHorizontalLayoutUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    const int height = std::max(0, inner.Height());
    int adjustable = 0, fixed = 0, placed = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        const RECT& p = item->GetPadding();
        SIZE sz = item->EstimateSize(SIZE{0, height - p.top - p.bottom});
        if (sz.cx == 0) ++adjustable;
        else fixed += sz.cx;
        fixed += p.left + p.right;
        ++placed;
    }
    if (placed > 1) fixed += (placed - 1) * m_iChildPadding;
    const int room = std::max(0, inner.Width() - fixed);
    const int share = adjustable ? room / adjustable : 0;
    int x = inner.left;
    if (adjustable == 0 && room > 0) {
        if (m_childAlign & DT_CENTER) x += room / 2;
        else if (m_childAlign & DT_RIGHT) x += room;
    }
    int seenAdjustable = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        const RECT& p = item->GetPadding();
        SIZE sz = item->EstimateSize(SIZE{0, height - p.top - p.bottom});
        int w = sz.cx;
        if (w == 0) w = ++seenAdjustable == adjustable ? room - share * (adjustable - 1) : share;
        int h = sz.cy ? sz.cy : std::max(0, height - p.top - p.bottom);
        int y = inner.top + p.top;
        if (sz.cy && (m_childVAlign & DT_VCENTER)) y = inner.top + (height - h) / 2;
        else if (sz.cy && (m_childVAlign & DT_BOTTOM)) y = inner.bottom - p.bottom - h;
        item->SetPos(RECT{x + p.left, y, x + p.left + w, y + h});
        x += p.left + w + p.right + m_iChildPadding;
    }
    PlaceFloating(inner);
}

}  // namespace DuiLib
