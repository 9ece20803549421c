// CWindowWnd: a C++ object behind one native window of the window system.
// The window belongs to the thread that creates it; the object must outlive
// it or destroy it (the destructor does).
#pragma once

#include <string>
#include <string_view>

#include "duilib/UIDefine.h"

namespace DuiLib {

class CWindowWnd {
public:
    CWindowWnd() = default;
    virtual ~CWindowWnd();
    CWindowWnd(const CWindowWnd&) = delete;
    CWindowWnd& operator=(const CWindowWnd&) = delete;

    HWND GetHWND() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // Creates the native window on the calling thread. The style's
    // WS_CAPTION is dropped: the windows draw their own title bars. With
    // WS_VISIBLE the window is shown after it is built, unless its layout
    // asks to stay hidden. nullptr when the window could not be created.
    HWND Create(HWND parent, std::u16string_view name, DWORD style, DWORD exStyle,
                int x = CW_USEDEFAULT, int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT,
                int cy = CW_USEDEFAULT, void* menu = nullptr);
    // Shows (and, when asked, activates) or hides the window.
    void ShowWindow(bool show = true, bool takeFocus = true);
    // Shows the window and runs a modal loop for it on the calling thread;
    // returns the value given to Close, or 0 when the window ended
    // otherwise (closed by the window manager, destroyed, quit message).
    UINT ShowModal();
    // Asks the window to close, ending a modal loop with `ret`.
    void Close(UINT ret = 1);
    void CenterWindow();
    // Sets the icon registered under the icon resource type and `res`.
    void SetIcon(UINT res);

    LRESULT SendMessageW(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT PostMessageW(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    void ResizeClient(int cx = -1, int cy = -1);

protected:
    virtual std::u16string_view GetWindowClassName() const = 0;
    virtual std::u16string_view GetSuperClassName() const { return {}; }
    virtual UINT GetClassStyle() const { return 0; }
    virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    // Called after the native window is gone.
    virtual void OnFinalMessage(HWND hwnd) { (void)hwnd; }

    // Before the native window exists: adjust what will be created.
    virtual void PrepareCreate(platform::CreateWindowParams& params) { (void)params; }
    // Whether the window should be shown after creation when WS_VISIBLE was
    // asked for.
    virtual bool ShowAfterCreate() const { return true; }
    // Seen before HandleMessage for every message; true stops it there.
    virtual bool PreFilterMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        (void)uMsg; (void)wParam; (void)lParam; (void)result;
        return false;
    }

    // Detaches the object and destroys the native window, if any.
    void DestroyNativeWindow();

    static LRESULT __WndProc(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;
};

}  // namespace DuiLib
