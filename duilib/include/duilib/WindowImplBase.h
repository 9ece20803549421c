// WindowImplBase: a skinned window whose controls come from an XML layout.
// Derived classes name their class, layout file and skin source; the base
// builds the controls while the native window is created, calls InitWindow,
// routes messages to the On* handlers and click notifications to Notify.
#pragma once

#include <memory>
#include <string>

#include "duilib/UIBase.h"
#include "duilib/UIManager.h"

namespace DuiLib {

class CMarkup;

// Creates controls for element names the library does not know.
class IDialogBuilderCallback {
public:
    virtual CControlUI* CreateControl(std::u16string_view className) = 0;

protected:
    ~IDialogBuilderCallback() = default;
};

class CNotifyPump {
public:
    virtual ~CNotifyPump() = default;
    virtual const void* GetMessageMap() const { return nullptr; }
};

class WindowImplBase : public CWindowWnd,
                       public CNotifyPump,
                       public INotifyUI,
                       public IMessageFilterUI,
                       public IDialogBuilderCallback {
public:
    WindowImplBase();
    ~WindowImplBase() override;

    virtual void InitWindow() {}
    virtual void OnFinalMessage(HWND hwnd) override;
    void Notify(TNotifyUI& msg) override;
    LRESULT MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled) override;
    CControlUI* CreateControl(std::u16string_view className) override;

    CPaintManagerUI& GetPaintManager() { return m_PaintManager; }
    // Why the layout could not be loaded, after a failed Create.
    const std::string& GetLoadError() const { return m_loadError; }

protected:
    virtual void OnClick(TNotifyUI& msg);
    virtual std::u16string GetSkinFolder() = 0;
    virtual std::u16string GetSkinFile() = 0;
    virtual bool ResponseDefaultKeyEvent(WPARAM wParam);
    virtual UILIB_RESOURCETYPE GetResourceType() const { return UILIB_FILE; }
    virtual std::u16string GetZIPFileName() const { return {}; }
    virtual int GetResourceID() const { return 0; }

    virtual LRESULT OnClose(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnNcActivate(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnNcCalcSize(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnNcPaint(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnNcHitTest(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnGetMinMaxInfo(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnMouseWheel(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnMouseHover(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnSize(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnChar(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnSysCommand(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    // Builds the controls from the layout, then calls InitWindow. -1 when
    // the layout cannot be loaded (the window is not created).
    virtual LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled);
    virtual LRESULT OnKeyDown(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnKillFocus(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnSetFocus(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnLButtonDown(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT OnMouseMove(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual LRESULT HandleCustomMessage(UINT, WPARAM, LPARAM, bool& bHandled) { bHandled = false; return 0; }
    virtual long GetStyle() { return 0; }

    LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void PrepareCreate(platform::CreateWindowParams& params) override;
    bool ShowAfterCreate() const override;
    bool PreFilterMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    CPaintManagerUI m_PaintManager;

private:
    bool LoadLayout();

    std::unique_ptr<CMarkup> m_layout;
    std::string m_loadError;
    bool m_bHidden = false;
};

}  // namespace DuiLib
