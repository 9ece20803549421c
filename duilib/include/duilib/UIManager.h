// CPaintManagerUI: one per window. Holds the control tree, fonts, images,
// caption band and layered background of the window, routes mouse input to
// the controls, paints them, and delivers notifications. Used on the
// window's thread; the static functions on any thread.
#pragma once

#include <cairo.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "duilib/UIControl.h"
#include "duilib/UIResource.h"

namespace DuiLib {

// A skin image and the device pixels it holds per layout pixel: 2 for the
// "name@2x.png" twin drawn for high-resolution screens, else 1.
struct TImageInfo {
    cairo_surface_t* surface = nullptr;
    int density = 1;
};

struct TFontInfo {
    std::u16string sFontName;
    int iSize = 12;  // pixels
    bool bBold = false;
    bool bUnderline = false;
    bool bItalic = false;
};

class CPaintManagerUI {
public:
    CPaintManagerUI();
    ~CPaintManagerUI();
    CPaintManagerUI(const CPaintManagerUI&) = delete;
    CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

    // Process-wide settings.
    static void SetInstance(HINSTANCE instance);
    static HINSTANCE GetInstance();
    // The program's folder, ending in "/".
    static std::u16string GetInstancePath();
    static void SetResourcePath(std::u16string_view path);
    static std::u16string GetResourcePath();
    // Runs the calling thread's message loop until its quit message.
    static void MessageLoop();

    void Init(HWND hwnd);
    HWND GetPaintWindow() const { return m_hWnd; }

    // Takes ownership of the tree.
    bool AttachDialog(CControlUI* root);
    CControlUI* GetRoot() const { return m_root.get(); }
    // nullptr for a name that the tree lacks.
    CControlUI* FindControl(std::u16string_view name) const;
    CControlUI* FindControl(POINT pt) const;

    // Window settings from the layout.
    void SetInitSize(int cx, int cy) { m_szInit = {cx, cy}; }
    SIZE GetInitSize() const { return m_szInit; }
    void SetCaptionRect(RECT rc) { m_rcCaption = rc; }
    RECT GetCaptionRect() const { return m_rcCaption; }
    void SetLayered(bool layered) { m_bLayered = layered; }
    bool IsLayered() const { return m_bLayered; }
    void SetLayeredImage(std::u16string_view image) { m_sLayeredImage = image; }
    const std::u16string& GetLayeredImage() const { return m_sLayeredImage; }
    void SetLayeredOpacity(int opacity) { m_nOpacity = opacity; }
    int GetLayeredOpacity() const { return m_nOpacity; }

    // Fonts by index; a missing index gives the default font.
    void AddFont(int id, TFontInfo font);
    const TFontInfo& GetFontInfo(int id) const;
    int GetFontCount() const { return static_cast<int>(m_fonts.size()); }
    void SetDefaultFont(TFontInfo font) { m_defaultFont = std::move(font); }

    // The archive (or folder reader) the layout and its images come from.
    using SkinReader = std::function<bool(std::string_view name, std::string& out)>;
    void SetSkinReader(SkinReader reader);
    // A skin image, decoded once; nullptr when missing or not a PNG.
    cairo_surface_t* GetImage(std::u16string_view name);
    // The image to draw on a surface of `scale` device pixels per layout
    // pixel: above 1, its "@2x" twin when the skin has one.
    TImageInfo GetImage(std::u16string_view name, double scale);
    // Lets go of the decoded image (and its twin) when it is large: a
    // control that keeps its own copy at its size does not need the source,
    // which for a window background drawn at twice its size is four times
    // the window. A later GetImage decodes it again.
    void ReleaseLargeImage(std::u16string_view name);
    // Bytes of decoded images held now.
    std::size_t HeldImageBytes() const;

    void AddNotifier(INotifyUI* notifier);
    void RemoveNotifier(INotifyUI* notifier);
    void SendNotify(CControlUI* sender, std::u16string_view type, WPARAM wParam = 0, LPARAM lParam = 0);
    void AddPreMessageFilter(IMessageFilterUI* filter);
    void RemovePreMessageFilter(IMessageFilterUI* filter);
    // Runs the filters; true when one of them handled the message.
    bool PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // The library's handling of window messages (paint, size, mouse,
    // caption hit test, tooltips). True when the message was handled.
    bool MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // The whole window, or one part of it (client coordinates), is drawn
    // again at the next paint.
    void Invalidate();
    void Invalidate(const RECT& rc);
    // The layout is computed again and the whole window drawn.
    void NeedUpdate();
    // Lays the tree out if needed and draws the whole window onto cr.
    void Render(cairo_t* cr);
    // The control under the mouse / pressed (for tests and tooltips).
    CControlUI* GetHotControl() const { return m_pHot; }
    // The tooltip window shown now, or nullptr.
    HWND GetToolTipWindow() const { return m_hToolTip; }

private:
    void Layout();
    void SetHot(CControlUI* control, POINT pt);
    void ShowToolTip();
    void HideToolTip();
    void Forget(CControlUI* control);
    cairo_surface_t* LoadImage(std::u16string_view file);

    HWND m_hWnd = nullptr;
    std::unique_ptr<CControlUI> m_root;
    SIZE m_szInit;
    RECT m_rcCaption;
    bool m_bLayered = false;
    std::u16string m_sLayeredImage;
    int m_nOpacity = 255;
    std::map<int, TFontInfo> m_fonts;
    TFontInfo m_defaultFont;
    SkinReader m_skin;
    std::map<std::u16string, cairo_surface_t*, std::less<>> m_images;
    std::vector<INotifyUI*> m_notifiers;
    std::vector<IMessageFilterUI*> m_preFilters;
    bool m_bUpdateNeeded = true;
    SIZE m_szLaidOut;
    CControlUI* m_pHot = nullptr;
    CControlUI* m_pPushed = nullptr;
    POINT m_ptLastMouse;
    HWND m_hToolTip = nullptr;
    std::u16string m_sToolTipText;

    friend class CControlUI;
};

}  // namespace DuiLib
