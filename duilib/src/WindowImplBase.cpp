// WindowImplBase: loading the layout, building the controls, message
// dispatch to the On* handlers.
#include "duilib/WindowImplBase.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UIMarkup.h"
#include "platform/text.h"

namespace DuiLib {

namespace {

std::string Narrow(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

}  // namespace

WindowImplBase::WindowImplBase() = default;

WindowImplBase::~WindowImplBase() {
    // Before the paint manager goes: the window must not paint with it.
    DestroyNativeWindow();
}

bool WindowImplBase::LoadLayout() {
    m_layout.reset();
    m_loadError.clear();
    const std::string folder = Narrow(GetSkinFolder());
    const std::string file = Narrow(GetSkinFile());
    CPaintManagerUI::SkinReader reader;
    switch (GetResourceType()) {
    case UILIB_ZIPRESOURCE: {
        auto archive = CZipArchive::FromMemory(FindResourceData(kZipResourceType, GetResourceID()));
        if (!archive) {
            m_loadError = "no skin archive under resource " + std::to_string(GetResourceID());
            return false;
        }
        reader = [archive, folder](std::string_view name, std::string& out) {
            return archive->Read(folder + std::string(name), out);
        };
        break;
    }
    case UILIB_ZIP: {
        std::string path = Narrow(CPaintManagerUI::GetResourcePath()) + Narrow(GetZIPFileName());
        auto archive = CZipArchive::FromFile(path);
        if (!archive) {
            m_loadError = "cannot open skin archive " + path;
            return false;
        }
        reader = [archive, folder](std::string_view name, std::string& out) {
            return archive->Read(folder + std::string(name), out);
        };
        break;
    }
    case UILIB_FILE: {
        std::string base = Narrow(CPaintManagerUI::GetResourcePath()) + folder;
        if (!base.empty() && base.back() != '/') base.push_back('/');
        reader = [base](std::string_view name, std::string& out) {
            // UTF-8 through char8_t: on Windows the path stays UTF-16.
            const std::string path = base + std::string(name);
            std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
            if (!in) return false;
            std::ostringstream buf;
            buf << in.rdbuf();
            out = buf.str();
            return true;
        };
        break;
    }
    default:
        m_loadError = "unsupported resource type";
        return false;
    }
    std::string xml;
    if (!reader(file, xml)) {
        m_loadError = "layout " + file + " not found";
        return false;
    }
    auto markup = std::make_unique<CMarkup>();
    if (!markup->Load(xml)) {
        m_loadError = file + ": " + markup->error();
        return false;
    }
    m_PaintManager.SetSkinReader(std::move(reader));
    m_layout = std::move(markup);
    return true;
}

void WindowImplBase::PrepareCreate(platform::CreateWindowParams& params) {
    if (!LoadLayout()) return;
    m_bHidden = ApplyWindowAttributes(*m_layout, m_PaintManager);
    SIZE size = m_PaintManager.GetInitSize();
    if (size.cx > 0 && size.cy > 0) {
        params.width = size.cx;
        params.height = size.cy;
    }
    if (m_PaintManager.IsLayered()) params.exStyle |= WS_EX_LAYERED;
}

bool WindowImplBase::ShowAfterCreate() const { return !m_bHidden; }

LRESULT WindowImplBase::OnCreate(UINT, WPARAM, LPARAM, bool& bHandled) {
    bHandled = true;
    m_PaintManager.Init(m_hWnd);
    if (!m_layout) {
        std::fprintf(stderr, "duilib: %s\n", m_loadError.c_str());
        return -1;
    }
    CControlUI* root = BuildControls(*m_layout, this);
    if (!root) {
        m_loadError = "layout has no controls";
        std::fprintf(stderr, "duilib: %s\n", m_loadError.c_str());
        return -1;
    }
    m_PaintManager.AttachDialog(root);
    m_PaintManager.AddPreMessageFilter(this);
    m_PaintManager.AddNotifier(this);
    InitWindow();
    return 0;
}

void WindowImplBase::OnFinalMessage(HWND) {
    m_PaintManager.RemovePreMessageFilter(this);
    m_PaintManager.RemoveNotifier(this);
}

void WindowImplBase::Notify(TNotifyUI& msg) {
    if (msg.sType == DUI_MSGTYPE_CLICK) OnClick(msg);
}

void WindowImplBase::OnClick(TNotifyUI&) {}

bool WindowImplBase::ResponseDefaultKeyEvent(WPARAM) { return false; }

LRESULT WindowImplBase::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM, bool& bHandled) {
    if (uMsg == WM_KEYDOWN && (wParam == VK_RETURN || wParam == VK_ESCAPE))
        bHandled = ResponseDefaultKeyEvent(wParam);
    return 0;
}

CControlUI* WindowImplBase::CreateControl(std::u16string_view) { return nullptr; }

bool WindowImplBase::PreFilterMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    return m_PaintManager.PreMessageHandler(uMsg, wParam, lParam, result);
}

LRESULT WindowImplBase::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    LRESULT res = 0;
    bool handled = true;
    switch (uMsg) {
    case WM_CREATE: res = OnCreate(uMsg, wParam, lParam, handled); break;
    case WM_CLOSE: res = OnClose(uMsg, wParam, lParam, handled); break;
    case WM_DESTROY: res = OnDestroy(uMsg, wParam, lParam, handled); break;
    case WM_NCACTIVATE: res = OnNcActivate(uMsg, wParam, lParam, handled); break;
    case WM_NCHITTEST: res = OnNcHitTest(uMsg, wParam, lParam, handled); break;
    case WM_GETMINMAXINFO: res = OnGetMinMaxInfo(uMsg, wParam, lParam, handled); break;
    case WM_MOUSEWHEEL: res = OnMouseWheel(uMsg, wParam, lParam, handled); break;
    case WM_SIZE: res = OnSize(uMsg, wParam, lParam, handled); break;
    case WM_CHAR: res = OnChar(uMsg, wParam, lParam, handled); break;
    case WM_SYSCOMMAND: res = OnSysCommand(uMsg, wParam, lParam, handled); break;
    case WM_KEYDOWN: res = OnKeyDown(uMsg, wParam, lParam, handled); break;
    case WM_KILLFOCUS: res = OnKillFocus(uMsg, wParam, lParam, handled); break;
    case WM_SETFOCUS: res = OnSetFocus(uMsg, wParam, lParam, handled); break;
    case WM_LBUTTONUP: res = OnLButtonUp(uMsg, wParam, lParam, handled); break;
    case WM_LBUTTONDOWN: res = OnLButtonDown(uMsg, wParam, lParam, handled); break;
    case WM_MOUSEMOVE: res = OnMouseMove(uMsg, wParam, lParam, handled); break;
    case WM_MOUSEHOVER: res = OnMouseHover(uMsg, wParam, lParam, handled); break;
    default: handled = false; break;
    }
    if (handled) return res;
    res = HandleCustomMessage(uMsg, wParam, lParam, handled);
    if (handled) return res;
    if (m_PaintManager.MessageHandler(uMsg, wParam, lParam, res)) return res;
    return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

}  // namespace DuiLib
