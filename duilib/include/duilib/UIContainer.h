// Containers: they own their children and place them. Vertical and
// horizontal layouts stack children along their axis with one routine,
// sharing the room left by fixed sizes among the children without one; a
// child never reaches past its layout across the axis.
#pragma once

#include <memory>
#include <vector>

#include "duilib/UIControl.h"

namespace DuiLib {

class CContainerUI : public CControlUI {
public:
    std::u16string_view GetClass() const override { return u"Container"; }

    // Takes ownership. False for nullptr.
    bool Add(CControlUI* control);
    void RemoveAll();
    int GetCount() const { return static_cast<int>(m_items.size()); }
    CControlUI* GetItemAt(int index) const;

    const RECT& GetInset() const { return m_rcInset; }
    void SetInset(RECT rc) { m_rcInset = rc; NeedParentUpdate(); }
    void SetChildPadding(int padding) { m_iChildPadding = padding; NeedParentUpdate(); }

    void SetAttribute(std::u16string_view name, std::u16string_view value) override;
    void SetManager(CPaintManagerUI* manager, CControlUI* parent) override;
    CControlUI* FindControl(std::u16string_view name) override;
    CControlUI* FindControlAt(POINT pt) override;
    void ForEach(const std::function<void(CControlUI&)>& fn) override;
    void SetPos(RECT rc) override;
    void DoPaint(cairo_t* cr) override;

protected:
    // The inner rectangle (the item rect less the inset).
    RECT InnerRect() const;
    // Places floating children relative to the inner rectangle.
    void PlaceFloating(const RECT& inner);
    // Where children are drawn and hit: layouts that scroll shift them.
    virtual int ScrollOffset() const { return 0; }
    // Places the docked children in `inner` along one axis, each measured
    // once, shifted back by `offset` along it. Returns the length they
    // take along the axis.
    int StackChildren(RECT inner, bool horizontal, int offset);
    // The length the docked children need along the axis: fixed and
    // measured sizes, paddings and the inset; children without a size
    // count as 0.
    int NeededLength(SIZE available, bool horizontal);

    std::vector<std::unique_ptr<CControlUI>> m_items;
    RECT m_rcInset;
    int m_iChildPadding = 0;
    unsigned m_childAlign = DT_LEFT;    // DT_LEFT, DT_CENTER, DT_RIGHT
    unsigned m_childVAlign = DT_TOP;    // DT_TOP, DT_VCENTER, DT_BOTTOM
};

class CVerticalLayoutUI : public CContainerUI {
public:
    std::u16string_view GetClass() const override { return u"VerticalLayout"; }
    void SetPos(RECT rc) override;
};

// A fixed width is the least it takes: children that need more (a button
// whose caption grew) widen it, and the row's flexible parts give way.
class CHorizontalLayoutUI : public CContainerUI {
public:
    std::u16string_view GetClass() const override { return u"HorizontalLayout"; }
    void SetPos(RECT rc) override;
    SIZE EstimateSize(SIZE available) override;
};

}  // namespace DuiLib
