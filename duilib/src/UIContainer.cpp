// Containers and the stacking layouts.
#include "duilib/UIContainer.h"

#include <algorithm>
#include <vector>

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

namespace {

// One child as the stacking routine sees it: its measured size and its
// paddings along (lead, trail) and across (near, far) the axis.
struct Slot {
    CControlUI* control;
    int along, across;  // measured; 0 = take what the layout gives
    int lead, trail, nearPad, farPad;
};

Slot Measure(CControlUI& c, int crossLen, bool horizontal) {
    const RECT& p = c.GetPadding();
    Slot s{&c, 0, 0, horizontal ? p.left : p.top, horizontal ? p.right : p.bottom, horizontal ? p.top : p.left,
           horizontal ? p.bottom : p.right};
    const int cross = std::max(0, crossLen - s.nearPad - s.farPad);
    SIZE sz = c.EstimateSize(horizontal ? SIZE{0, cross} : SIZE{cross, 0});
    s.along = horizontal ? sz.cx : sz.cy;
    s.across = horizontal ? sz.cy : sz.cx;
    return s;
}

}  // namespace

int CContainerUI::StackChildren(RECT inner, bool horizontal, int offset) {
    const int mainLen = horizontal ? inner.Width() : inner.Height();
    const int crossLen = std::max(0, horizontal ? inner.Height() : inner.Width());
    std::vector<Slot> slots;
    int adjustable = 0, fixed = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        Slot s = Measure(*item, crossLen, horizontal);
        if (s.along == 0) ++adjustable;
        fixed += s.along + s.lead + s.trail;
        slots.push_back(s);
    }
    if (slots.size() > 1) fixed += static_cast<int>(slots.size() - 1) * m_iChildPadding;
    const int room = std::max(0, mainLen - fixed);
    const int share = adjustable ? room / adjustable : 0;
    const unsigned alongAlign = horizontal ? m_childAlign : m_childVAlign;
    const unsigned acrossAlign = horizontal ? m_childVAlign : m_childAlign;
    const int crossStart = horizontal ? inner.top : inner.left;
    int pos = (horizontal ? inner.left : inner.top) - offset;
    if (adjustable == 0 && room > 0) {
        if (alongAlign & (DT_CENTER | DT_VCENTER)) pos += room / 2;
        else if (alongAlign & (DT_RIGHT | DT_BOTTOM)) pos += room;
    }
    int seenAdjustable = 0;
    for (const Slot& s : slots) {
        int along = s.along;
        // The last flexible child takes what the division left over.
        if (along == 0) along = ++seenAdjustable == adjustable ? room - share * (adjustable - 1) : share;
        const int space = std::max(0, crossLen - s.nearPad - s.farPad);
        const int across = s.across ? std::min(s.across, space) : space;
        int at = crossStart + s.nearPad;
        if (s.across && (acrossAlign & (DT_CENTER | DT_VCENTER))) at = crossStart + (crossLen - across) / 2;
        else if (s.across && (acrossAlign & (DT_RIGHT | DT_BOTTOM))) at = crossStart + crossLen - s.farPad - across;
        const int begin = pos + s.lead;
        s.control->SetPos(horizontal ? RECT{begin, at, begin + along, at + across}
                                     : RECT{at, begin, at + across, begin + along});
        pos += s.lead + along + s.trail + m_iChildPadding;
    }
    return fixed + (adjustable ? room : 0);
}

int CContainerUI::NeededLength(SIZE available, bool horizontal) {
    const int cross = std::max(0, (horizontal ? available.cy : available.cx) -
                                      (horizontal ? m_rcInset.top + m_rcInset.bottom : m_rcInset.left + m_rcInset.right));
    int need = horizontal ? m_rcInset.left + m_rcInset.right : m_rcInset.top + m_rcInset.bottom;
    int placed = 0;
    for (auto& item : m_items) {
        if (!Placed(*item)) continue;
        Slot s = Measure(*item, cross, horizontal);
        need += s.along + s.lead + s.trail;
        ++placed;
    }
    if (placed > 1) need += (placed - 1) * m_iChildPadding;
    return need;
}

void CVerticalLayoutUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    StackChildren(inner, false, 0);
    PlaceFloating(inner);
}

void CHorizontalLayoutUI::SetPos(RECT rc) {
    CControlUI::SetPos(rc);
    RECT inner = InnerRect();
    StackChildren(inner, true, 0);
    PlaceFloating(inner);
}

SIZE CHorizontalLayoutUI::EstimateSize(SIZE available) {
    SIZE sz = m_cxyFixed;
    if (sz.cx > 0) sz.cx = std::max(sz.cx, NeededLength(SIZE{0, sz.cy ? sz.cy : available.cy}, true));
    return sz;
}

}  // namespace DuiLib
