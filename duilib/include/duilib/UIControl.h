// The base of every control: name, text, geometry, colours, images and
// mouse state. Controls belong to one window and are used on its thread.
#pragma once

#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "duilib/UIDefine.h"

namespace DuiLib {

class CPaintManagerUI;
class CContainerUI;

// Device pixels per layout pixel of what cr draws on (2 on a window of a
// high-resolution screen).
inline double DeviceScale(cairo_t* cr) {
    double sx = 1, sy = 1;
    cairo_surface_get_device_scale(cairo_get_target(cr), &sx, &sy);
    return sx;
}

enum class UIEvent { MouseEnter, MouseLeave, MouseMove, ButtonDown, ButtonUp, ScrollWheel };

struct TEventUI {
    UIEvent type = UIEvent::MouseMove;
    POINT ptMouse;  // client coordinates
    WPARAM wParam = 0;
};

// How text sits in its rectangle.
enum TextAlign : unsigned {
    DT_LEFT = 0x0,
    DT_CENTER = 0x1,
    DT_RIGHT = 0x2,
    DT_TOP = 0x0,
    DT_VCENTER = 0x4,
    DT_BOTTOM = 0x8,
    DT_WORDBREAK = 0x10,
    DT_SINGLELINE = 0x20,
};

class CControlUI {
public:
    CControlUI();
    virtual ~CControlUI();
    CControlUI(const CControlUI&) = delete;
    CControlUI& operator=(const CControlUI&) = delete;

    virtual std::u16string_view GetClass() const { return u"Control"; }

    const std::u16string& GetName() const { return m_sName; }
    void SetName(std::u16string_view name) { m_sName = name; }

    const std::u16string& GetText() const { return m_sText; }
    virtual void SetText(std::u16string_view text);
    const std::u16string& GetToolTip() const { return m_sToolTip; }
    void SetToolTip(std::u16string_view text) { m_sToolTip = text; }

    // Whether the control itself is marked visible.
    bool IsVisible() const { return m_bVisible; }
    // Visible and every parent visible too.
    bool IsShownOnScreen() const;
    virtual void SetVisible(bool visible = true);
    bool IsEnabled() const { return m_bEnabled; }
    void SetEnabled(bool enabled = true);
    bool IsFloat() const { return m_bFloat; }

    // Requested size: 0 means "whatever the layout gives".
    int GetFixedWidth() const { return m_cxyFixed.cx; }
    int GetFixedHeight() const { return m_cxyFixed.cy; }
    void SetFixedWidth(int cx);
    void SetFixedHeight(int cy);
    const RECT& GetPadding() const { return m_rcPadding; }
    void SetPadding(RECT rc);
    SIZE GetFixedXY() const { return m_cXY; }

    // Size wanted inside `available` (0 for a free dimension).
    virtual SIZE EstimateSize(SIZE available);

    // Where the layout put the control, client coordinates.
    const RECT& GetPos() const { return m_rcItem; }
    virtual void SetPos(RECT rc);

    DWORD GetBkColor() const { return m_dwBackColor; }
    void SetBkColor(DWORD color);
    const std::u16string& GetBkImage() const { return m_sBkImage; }
    void SetBkImage(std::u16string_view image);

    // Attributes of the layouts by name and value text; unknown names are
    // ignored.
    virtual void SetAttribute(std::u16string_view name, std::u16string_view value);

    CControlUI* GetParent() const { return m_pParent; }
    CPaintManagerUI* GetManager() const { return m_pManager; }
    // Called when the control joins a window's tree.
    virtual void SetManager(CPaintManagerUI* manager, CControlUI* parent);

    // Depth-first search of this control and its children.
    virtual CControlUI* FindControl(std::u16string_view name);
    // The innermost visible control at a point that takes mouse input, or
    // nullptr.
    virtual CControlUI* FindControlAt(POINT pt);
    // Calls fn for this control and every descendant.
    virtual void ForEach(const std::function<void(CControlUI&)>& fn);

    // Whether the control reacts to the mouse (buttons do; labels and
    // layouts let the press fall through to the window, e.g. for dragging).
    virtual bool IsMouseTarget() const { return false; }
    virtual void DoEvent(TEventUI& event);

    virtual void DoPaint(cairo_t* cr);

    void Invalidate();
    // The layout of the window must be computed again.
    void NeedParentUpdate();

protected:
    virtual void PaintBkColor(cairo_t* cr);
    virtual void PaintBkImage(cairo_t* cr);
    virtual void PaintStatusImage(cairo_t* cr) { (void)cr; }
    virtual void PaintText(cairo_t* cr) { (void)cr; }
    // Draws a named skin image stretched over rc; false when it is missing.
    bool DrawImage(cairo_t* cr, std::u16string_view image, RECT rc);

    CPaintManagerUI* m_pManager = nullptr;
    CControlUI* m_pParent = nullptr;
    std::u16string m_sName;
    std::u16string m_sText;
    std::u16string m_sToolTip;
    bool m_bVisible = true;
    bool m_bEnabled = true;
    bool m_bFloat = false;
    SIZE m_cxyFixed;
    SIZE m_cXY;
    RECT m_rcPadding;
    RECT m_rcItem;
    DWORD m_dwBackColor = 0;
    std::u16string m_sBkImage;

private:
    struct SurfaceRelease {
        void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
    };
    // The background image as drawn at the control's size, kept until the
    // size or the image changes: scaling a large picture is most of a
    // repaint's work, and the status line repaints every second.
    std::unique_ptr<cairo_surface_t, SurfaceRelease> m_bkCache;
};

}  // namespace DuiLib
