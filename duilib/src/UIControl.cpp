// CControlUI: attributes, visibility, background and hit testing.
#include "duilib/UIControl.h"

#include <algorithm>
#include <cmath>

#include "duilib/UIManager.h"

namespace DuiLib {

namespace {

// Backgrounds without an alpha byte (e.g. "#000000") are not drawn, so a
// layout can give a layout a colour attribute that shows nothing.
bool HasAlpha(DWORD color) { return color > 0x00FFFFFF; }

// "corner='l,t,r,b'" of an image attribute, in the image's own pixels.
RECT ImageCorner(std::u16string_view attr) {
    size_t at = attr.find(u"corner='");
    if (at == std::u16string_view::npos) return RECT{};
    attr.remove_prefix(at + 8);
    return ParseRect(attr.substr(0, attr.find(u'\'')));
}

// Source rectangle (sx, sy, sw, sh) of img stretched over the destination
// rectangle; its own edges are repeated outwards, so neighbouring slices
// do not bleed into each other.
void DrawSlice(cairo_t* cr, cairo_surface_t* img, double sx, double sy, double sw, double sh, double dx, double dy,
               double dw, double dh) {
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return;
    cairo_surface_t* part = cairo_surface_create_for_rectangle(img, sx, sy, sw, sh);
    cairo_save(cr);
    cairo_rectangle(cr, dx, dy, dw, dh);
    cairo_clip(cr);
    cairo_translate(cr, dx, dy);
    cairo_scale(cr, dw / sw, dh / sh);
    cairo_set_source_surface(cr, part, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(part);
}

}  // namespace

CControlUI::CControlUI() = default;

CControlUI::~CControlUI() {
    if (m_pManager) m_pManager->Forget(this);
}

void CControlUI::SetText(std::u16string_view text) {
    if (m_sText == text) return;
    m_sText = text;
    // Text can change a wrapping label's height.
    NeedParentUpdate();
}

bool CControlUI::IsShownOnScreen() const {
    for (const CControlUI* c = this; c; c = c->m_pParent)
        if (!c->m_bVisible) return false;
    return true;
}

void CControlUI::SetVisible(bool visible) {
    if (m_bVisible == visible) return;
    m_bVisible = visible;
    NeedParentUpdate();
}

void CControlUI::SetEnabled(bool enabled) {
    m_bEnabled = enabled;
    Invalidate();
}

void CControlUI::SetFixedWidth(int cx) {
    if (cx < 0) return;
    m_cxyFixed.cx = cx;
    NeedParentUpdate();
}

void CControlUI::SetFixedHeight(int cy) {
    if (cy < 0) return;
    m_cxyFixed.cy = cy;
    NeedParentUpdate();
}

void CControlUI::SetPadding(RECT rc) {
    m_rcPadding = rc;
    NeedParentUpdate();
}

SIZE CControlUI::EstimateSize(SIZE) { return m_cxyFixed; }

void CControlUI::SetPos(RECT rc) {
    if (rc.right < rc.left) rc.right = rc.left;
    if (rc.bottom < rc.top) rc.bottom = rc.top;
    m_rcItem = rc;
}

void CControlUI::SetBkColor(DWORD color) {
    m_dwBackColor = color;
    Invalidate();
}

void CControlUI::SetBkImage(std::u16string_view image) {
    m_sBkImage = image;
    m_bkCache.reset();
    Invalidate();
}

void CControlUI::SetAttribute(std::u16string_view name, std::u16string_view value) {
    if (name == u"name") SetName(value);
    else if (name == u"text") SetText(value);
    else if (name == u"tooltip") SetToolTip(value);
    else if (name == u"visible") SetVisible(ParseBool(value));
    else if (name == u"enabled") SetEnabled(ParseBool(value));
    else if (name == u"float") m_bFloat = ParseBool(value);
    else if (name == u"width") SetFixedWidth(ParseInt(value));
    else if (name == u"height") SetFixedHeight(ParseInt(value));
    else if (name == u"padding") SetPadding(ParseRect(value));
    else if (name == u"bkcolor") SetBkColor(ParseColor(value));
    else if (name == u"bkimage") SetBkImage(value);
    else if (name == u"pos") {
        // The place of a floating control; on a docked control only its
        // size counts, and only when the numbers give one.
        RECT r = ParseRect(value);
        m_cXY = {r.left, r.top};
        if (r.right > r.left) SetFixedWidth(r.right - r.left);
        if (r.bottom > r.top) SetFixedHeight(r.bottom - r.top);
    }
}

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    m_pManager = manager;
    m_pParent = parent;
}

CControlUI* CControlUI::FindControl(std::u16string_view name) {
    return !name.empty() && m_sName == name ? this : nullptr;
}

CControlUI* CControlUI::FindControlAt(POINT pt) {
    if (!m_bVisible || !m_rcItem.Contains(pt)) return nullptr;
    return IsMouseTarget() && m_bEnabled ? this : nullptr;
}

void CControlUI::ForEach(const std::function<void(CControlUI&)>& fn) { fn(*this); }

void CControlUI::DoEvent(TEventUI& event) {
    // Controls without their own handling pass the wheel to their parent.
    if (event.type == UIEvent::ScrollWheel && m_pParent) m_pParent->DoEvent(event);
}

void CControlUI::DoPaint(cairo_t* cr) {
    if (!m_bVisible || m_rcItem.Empty()) return;
    cairo_save(cr);
    cairo_rectangle(cr, m_rcItem.left, m_rcItem.top, m_rcItem.Width(), m_rcItem.Height());
    cairo_clip(cr);
    PaintBkColor(cr);
    PaintBkImage(cr);
    PaintStatusImage(cr);
    PaintText(cr);
    cairo_restore(cr);
}

void CControlUI::PaintBkColor(cairo_t* cr) {
    if (!HasAlpha(m_dwBackColor)) return;
    DWORD c = m_dwBackColor;
    cairo_set_source_rgba(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0,
                          ((c >> 24) & 0xFF) / 255.0);
    cairo_rectangle(cr, m_rcItem.left, m_rcItem.top, m_rcItem.Width(), m_rcItem.Height());
    cairo_fill(cr);
}

void CControlUI::PaintBkImage(cairo_t* cr) {
    if (m_sBkImage.empty() || m_rcItem.Empty()) return;
    // Kept at the resolution of the surface it is shown on (a window on a
    // high-resolution screen draws at twice its layout pixels), so the
    // picture stays as sharp as drawn directly.
    double sx = 1, sy = 1;
    cairo_surface_get_device_scale(cairo_get_target(cr), &sx, &sy);
    const int w = static_cast<int>(std::ceil(m_rcItem.Width() * sx));
    const int h = static_cast<int>(std::ceil(m_rcItem.Height() * sy));
    cairo_surface_t* cached = m_bkCache.get();
    if (!cached || cairo_image_surface_get_width(cached) != w || cairo_image_surface_get_height(cached) != h) {
        m_bkCache.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
        cairo_surface_set_device_scale(m_bkCache.get(), sx, sy);
        cairo_t* c = cairo_create(m_bkCache.get());
        cairo_translate(c, -m_rcItem.left, -m_rcItem.top);
        const bool drawn = DrawImage(c, m_sBkImage, m_rcItem);
        cairo_destroy(c);
        // Not kept when the image is not there (yet): no manager, no skin.
        if (!drawn) {
            m_bkCache.reset();
            return;
        }
        m_pManager->ReleaseLargeImage(m_sBkImage);
    }
    cairo_set_source_surface(cr, m_bkCache.get(), m_rcItem.left, m_rcItem.top);
    cairo_paint(cr);
}

bool CControlUI::DrawImage(cairo_t* cr, std::u16string_view image, RECT rc) {
    if (!m_pManager || rc.Empty()) return false;
    // On a high-resolution surface the image's "@2x" twin, drawn from the
    // same source at twice the size: its pixels are halves of layout pixels,
    // while sizes and corners below stay in layout pixels.
    const TImageInfo info = m_pManager->GetImage(image, DeviceScale(cr));
    cairo_surface_t* img = info.surface;
    if (!img) return false;
    const double d = info.density;
    const int w = static_cast<int>(cairo_image_surface_get_width(img) / d);
    const int h = static_cast<int>(cairo_image_surface_get_height(img) / d);
    if (w <= 0 || h <= 0) return false;
    const RECT corner = ImageCorner(image);
    const int l = std::clamp(static_cast<int>(corner.left), 0, w), r = std::clamp(static_cast<int>(corner.right), 0, w - l);
    const int t = std::clamp(static_cast<int>(corner.top), 0, h), b = std::clamp(static_cast<int>(corner.bottom), 0, h - t);
    const double sx = static_cast<double>(rc.Width()) / w, sy = static_cast<double>(rc.Height()) / h;
    if (l + r + t + b == 0) {
        DrawSlice(cr, img, 0, 0, w * d, h * d, rc.left, rc.top, rc.Width(), rc.Height());
        return true;
    }
    // The corners keep the image's proportions at the scale of the axis
    // they do not cut (both axes cut: the smaller scale); the middle strips
    // take up the difference. So a card narrowed or widened keeps its
    // rounded ends and its pictures undistorted.
    double k = t + b == 0 ? sy : l + r == 0 ? sx : std::min(sx, sy);
    if (l + r > 0) k = std::min(k, static_cast<double>(rc.Width()) / (l + r));
    if (t + b > 0) k = std::min(k, static_cast<double>(rc.Height()) / (t + b));
    const double xs[4] = {0, static_cast<double>(l), static_cast<double>(w - r), static_cast<double>(w)};
    const double ys[4] = {0, static_cast<double>(t), static_cast<double>(h - b), static_cast<double>(h)};
    // Whole-pixel seams: two slices sharing a pixel would each cover it
    // only in part and leave it translucent.
    const double dxs[4] = {static_cast<double>(rc.left), rc.left + std::round(l * k), rc.right - std::round(r * k),
                           static_cast<double>(rc.right)};
    const double dys[4] = {static_cast<double>(rc.top), rc.top + std::round(t * k), rc.bottom - std::round(b * k),
                           static_cast<double>(rc.bottom)};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            DrawSlice(cr, img, xs[i] * d, ys[j] * d, (xs[i + 1] - xs[i]) * d, (ys[j + 1] - ys[j]) * d, dxs[i], dys[j],
                      dxs[i + 1] - dxs[i], dys[j + 1] - dys[j]);
    return true;
}

void CControlUI::Invalidate() {
    if (!m_pManager) return;
    // A control draws only inside its rectangle; before its first layout it
    // has none, and the whole window is drawn anyway.
    if (m_rcItem.Empty()) m_pManager->Invalidate();
    else m_pManager->Invalidate(m_rcItem);
}

void CControlUI::NeedParentUpdate() {
    if (m_pManager) m_pManager->NeedUpdate();
}

}  // namespace DuiLib
