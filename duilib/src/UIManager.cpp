// CPaintManagerUI: layout, painting, mouse routing, caption hit test,
// tooltips and notifications of one window.
#include "duilib/UIManager.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/module.h"
#include "platform/text.h"
#include "platform/window/message_loop.h"
#include "platform/window/paint.h"

namespace DuiLib {

namespace {

constexpr uintptr_t kToolTipTimer = 0x7D01;  // far from the windows' own ids
constexpr unsigned kToolTipDelayMs = 500;
constexpr int kToolTipPad = 4;
constexpr double kToolTipPx = 12;
constexpr char kToolTipFamily[] = "微软雅黑";

struct Globals {
    std::mutex lock;
    HINSTANCE instance = nullptr;
    std::u16string resourcePath;
};

Globals& TheGlobals() {
    static Globals g;
    return g;
}

// "file='a.png' dest='...'" or a bare "a.png": the file name part.
std::u16string_view ImageFileName(std::u16string_view attr) {
    size_t at = attr.find(u"file='");
    if (at == std::u16string_view::npos) return attr;
    attr.remove_prefix(at + 6);
    size_t end = attr.find(u'\'');
    return end == std::u16string_view::npos ? attr : attr.substr(0, end);
}

// "a.png" -> "a@2x.png".
std::u16string TwinName(std::u16string_view file) {
    const size_t dot = file.rfind(u'.');
    std::u16string twin(file.substr(0, dot));
    twin += u"@2x";
    if (dot != std::u16string_view::npos) twin += file.substr(dot);
    return twin;
}

struct PngSource {
    const std::string* data;
    size_t pos = 0;
};

cairo_status_t ReadPng(void* closure, unsigned char* out, unsigned int length) {
    auto* src = static_cast<PngSource*>(closure);
    if (src->data->size() - src->pos < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(out, src->data->data() + src->pos, length);
    src->pos += length;
    return CAIRO_STATUS_SUCCESS;
}

PangoLayout* ToolTipLayout(cairo_t* cr, std::u16string_view text) {
    return platform::CreateTextLayout(cr, text, kToolTipFamily, kToolTipPx);
}

LRESULT ToolTipProc(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_PAINT) return DefWindowProcW(hwnd, msg, wParam, lParam);
    platform::PaintStruct ps;
    cairo_t* cr = platform::BeginPaint(hwnd, &ps);
    if (!cr) return 0;
    RECT rc;
    GetClientRect(hwnd, &rc);
    cairo_set_source_rgb(cr, 1.0, 1.0, 0.88);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.46, 0.46, 0.46);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, 0.5, 0.5, rc.Width() - 1, rc.Height() - 1);
    cairo_stroke(cr);
    PangoLayout* layout = ToolTipLayout(cr, GetWindowTextW(hwnd));
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, kToolTipPad, kToolTipPad);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    platform::EndPaint(hwnd, &ps);
    return 0;
}

}  // namespace

CPaintManagerUI::CPaintManagerUI() { m_defaultFont = TFontInfo{u"微软雅黑", 12, false, false, false}; }

CPaintManagerUI::~CPaintManagerUI() {
    HideToolTip();
    m_root.reset();
    for (auto& [name, surface] : m_images)
        if (surface) cairo_surface_destroy(surface);
}

void CPaintManagerUI::SetInstance(HINSTANCE instance) {
    std::lock_guard lock(TheGlobals().lock);
    TheGlobals().instance = instance;
}

HINSTANCE CPaintManagerUI::GetInstance() {
    std::lock_guard lock(TheGlobals().lock);
    return TheGlobals().instance;
}

std::u16string CPaintManagerUI::GetInstancePath() {
    std::string folder;
    if (!platform::GetModuleFolder(folder)) return {};
    return platform::Utf8ToUtf16(folder);
}

void CPaintManagerUI::SetResourcePath(std::u16string_view path) {
    std::u16string p(path);
    if (!p.empty() && p.back() != u'/') p.push_back(u'/');
    std::lock_guard lock(TheGlobals().lock);
    TheGlobals().resourcePath = std::move(p);
}

std::u16string CPaintManagerUI::GetResourcePath() {
    std::lock_guard lock(TheGlobals().lock);
    return TheGlobals().resourcePath;
}

void CPaintManagerUI::MessageLoop() { platform::RunMessageLoop(); }

void CPaintManagerUI::Init(HWND hwnd) {
    m_hWnd = hwnd;
    // Tests and tools click controls by name.
    platform::SetRegionLocator(hwnd, [this](std::u16string_view name) -> std::optional<RECT> {
        Layout();
        CControlUI* c = FindControl(name);
        if (!c || !c->IsShownOnScreen() || c->GetPos().Empty()) return std::nullopt;
        return c->GetPos();
    });
}

bool CPaintManagerUI::AttachDialog(CControlUI* root) {
    if (!root) return false;
    m_pHot = m_pPushed = nullptr;
    m_root.reset(root);
    root->SetManager(this, nullptr);
    NeedUpdate();
    return true;
}

CControlUI* CPaintManagerUI::FindControl(std::u16string_view name) const {
    return m_root && !name.empty() ? m_root->FindControl(name) : nullptr;
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
    return m_root ? m_root->FindControlAt(pt) : nullptr;
}

void CPaintManagerUI::AddFont(int id, TFontInfo font) { m_fonts[id] = std::move(font); }

const TFontInfo& CPaintManagerUI::GetFontInfo(int id) const {
    auto it = m_fonts.find(id);
    return it == m_fonts.end() ? m_defaultFont : it->second;
}

void CPaintManagerUI::SetSkinReader(SkinReader reader) { m_skin = std::move(reader); }

cairo_surface_t* CPaintManagerUI::GetImage(std::u16string_view name) { return LoadImage(ImageFileName(name)); }

TImageInfo CPaintManagerUI::GetImage(std::u16string_view name, double scale) {
    const std::u16string_view file = ImageFileName(name);
    if (scale > 1 && !file.empty()) {
        if (cairo_surface_t* twin = LoadImage(TwinName(file))) return {twin, 2};
    }
    return {LoadImage(file), 1};
}

namespace {
// Above this, a decoded image is dropped once a control has its own copy
// (the progress window's card at scale 1 takes 0.75 MB).
constexpr std::size_t kLargeImageBytes = 512u << 10;

std::size_t ImageBytes(cairo_surface_t* image) {
    if (!image) return 0;
    return static_cast<std::size_t>(cairo_image_surface_get_stride(image)) *
           static_cast<std::size_t>(cairo_image_surface_get_height(image));
}
}  // namespace

void CPaintManagerUI::ReleaseLargeImage(std::u16string_view name) {
    const std::u16string_view file = ImageFileName(name);
    // The layered image is drawn from its source on every paint.
    if (file.empty() || file == ImageFileName(m_sLayeredImage)) return;
    for (const std::u16string& key : {std::u16string(file), TwinName(file)}) {
        auto it = m_images.find(key);
        if (it == m_images.end() || ImageBytes(it->second) < kLargeImageBytes) continue;
        cairo_surface_destroy(it->second);
        m_images.erase(it);
    }
}

std::size_t CPaintManagerUI::HeldImageBytes() const {
    std::size_t bytes = 0;
    for (const auto& entry : m_images) bytes += ImageBytes(entry.second);
    return bytes;
}

cairo_surface_t* CPaintManagerUI::LoadImage(std::u16string_view file) {
    if (file.empty()) return nullptr;
    if (auto it = m_images.find(file); it != m_images.end()) return it->second;
    cairo_surface_t* surface = nullptr;
    std::string bytes;
    if (m_skin && m_skin(platform::Utf16ToUtf8(file), bytes)) {
        PngSource src{&bytes};
        surface = cairo_image_surface_create_from_png_stream(ReadPng, &src);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            surface = nullptr;
        }
    }
    // A missing image is remembered too, so it is not looked for on every paint.
    m_images.emplace(std::u16string(file), surface);
    return surface;
}

void CPaintManagerUI::AddNotifier(INotifyUI* notifier) {
    if (notifier && std::find(m_notifiers.begin(), m_notifiers.end(), notifier) == m_notifiers.end())
        m_notifiers.push_back(notifier);
}

void CPaintManagerUI::RemoveNotifier(INotifyUI* notifier) { std::erase(m_notifiers, notifier); }

void CPaintManagerUI::SendNotify(CControlUI* sender, std::u16string_view type, WPARAM wParam, LPARAM lParam) {
    TNotifyUI msg;
    msg.sType = type;
    msg.pSender = sender;
    msg.dwTimestamp = 0;
    msg.ptMouse = m_ptLastMouse;
    msg.wParam = wParam;
    msg.lParam = lParam;
    // A notifier may remove itself (or others) while being told.
    std::vector<INotifyUI*> notifiers = m_notifiers;
    for (INotifyUI* n : notifiers)
        if (std::find(m_notifiers.begin(), m_notifiers.end(), n) != m_notifiers.end()) n->Notify(msg);
}

void CPaintManagerUI::AddPreMessageFilter(IMessageFilterUI* filter) {
    if (filter && std::find(m_preFilters.begin(), m_preFilters.end(), filter) == m_preFilters.end())
        m_preFilters.push_back(filter);
}

void CPaintManagerUI::RemovePreMessageFilter(IMessageFilterUI* filter) { std::erase(m_preFilters, filter); }

bool CPaintManagerUI::PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    std::vector<IMessageFilterUI*> filters = m_preFilters;
    for (IMessageFilterUI* f : filters) {
        bool handled = false;
        LRESULT r = f->MessageHandler(msg, wParam, lParam, handled);
        if (handled) {
            result = r;
            return true;
        }
    }
    return false;
}

void CPaintManagerUI::Invalidate() {
    if (m_hWnd) platform::InvalidateRect(m_hWnd);
}

void CPaintManagerUI::Invalidate(const RECT& rc) {
    if (m_hWnd) platform::InvalidateRect(m_hWnd, &rc);
}

void CPaintManagerUI::NeedUpdate() {
    m_bUpdateNeeded = true;
    Invalidate();
}

void CPaintManagerUI::Layout() {
    if (!m_root || !m_hWnd) return;
    RECT client;
    if (!GetClientRect(m_hWnd, &client)) return;
    SIZE size{client.Width(), client.Height()};
    if (!m_bUpdateNeeded && size == m_szLaidOut) return;
    m_bUpdateNeeded = false;
    m_szLaidOut = size;
    m_root->SetPos(client);
}

void CPaintManagerUI::Render(cairo_t* cr) {
    Layout();
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    if (m_bLayered) cairo_set_source_rgba(cr, 0, 0, 0, 0);
    else cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_restore(cr);
    const bool faded = m_bLayered && m_nOpacity < 255;
    if (faded) cairo_push_group(cr);
    if (m_bLayered && !m_sLayeredImage.empty() && m_root) {
        RECT client;
        GetClientRect(m_hWnd, &client);
        const TImageInfo img = GetImage(m_sLayeredImage, DeviceScale(cr));
        if (img.surface) {
            cairo_save(cr);
            cairo_scale(cr, static_cast<double>(client.Width()) / cairo_image_surface_get_width(img.surface),
                        static_cast<double>(client.Height()) / cairo_image_surface_get_height(img.surface));
            cairo_set_source_surface(cr, img.surface, 0, 0);
            cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
            cairo_paint(cr);
            cairo_restore(cr);
        }
    }
    if (m_root) m_root->DoPaint(cr);
    if (faded) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, std::max(0, m_nOpacity) / 255.0);
    }
}

void CPaintManagerUI::Forget(CControlUI* control) {
    if (m_pHot == control) m_pHot = nullptr;
    if (m_pPushed == control) m_pPushed = nullptr;
}

void CPaintManagerUI::SetHot(CControlUI* control, POINT pt) {
    if (control == m_pHot) return;
    HideToolTip();
    if (CControlUI* old = std::exchange(m_pHot, control)) {
        TEventUI e{UIEvent::MouseLeave, pt, 0};
        old->DoEvent(e);
    }
    if (m_pHot) {
        TEventUI e{UIEvent::MouseEnter, pt, 0};
        m_pHot->DoEvent(e);
        if (!m_pHot->GetToolTip().empty()) SetTimer(m_hWnd, kToolTipTimer, kToolTipDelayMs);
    }
}

void CPaintManagerUI::ShowToolTip() {
    HideToolTip();
    if (!m_pHot || m_pHot->GetToolTip().empty() || !m_pHot->IsShownOnScreen()) return;
    m_sToolTipText = m_pHot->GetToolTip();
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(s);
    PangoLayout* layout = ToolTipLayout(cr, m_sToolTipText);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(s);

    POINT at = m_ptLastMouse;
    ClientToScreen(m_hWnd, &at);
    platform::CreateWindowParams p;
    p.className = u"tavlin_tooltip";
    p.title = m_sToolTipText;
    p.proc = ToolTipProc;
    p.owner = m_hWnd;
    p.style = WS_POPUP;
    p.exStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST;
    p.x = at.x;
    p.y = at.y + 20;
    p.width = w + 2 * kToolTipPad;
    p.height = h + 2 * kToolTipPad;
    m_hToolTip = platform::CreateWindowW(p);
    if (m_hToolTip) platform::ShowWindow(m_hToolTip, SW_SHOWNOACTIVATE);
}

void CPaintManagerUI::HideToolTip() {
    if (m_hWnd) KillTimer(m_hWnd, kToolTipTimer);
    if (HWND tip = std::exchange(m_hToolTip, nullptr); tip && IsWindow(tip)) platform::DestroyWindow(tip);
}

bool CPaintManagerUI::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (!m_hWnd) return false;
    result = 0;
    switch (msg) {
    case WM_PAINT: {
        platform::PaintStruct ps;
        if (cairo_t* cr = platform::BeginPaint(m_hWnd, &ps)) {
            Render(cr);
            platform::EndPaint(m_hWnd, &ps);
        }
        return true;
    }
    case WM_SIZE:
        NeedUpdate();
        return false;
    case WM_NCHITTEST: {
        POINT pt{GetXLParam(lParam), GetYLParam(lParam)};
        ScreenToClient(m_hWnd, &pt);
        RECT client;
        GetClientRect(m_hWnd, &client);
        // The caption band: its right and bottom count from the edges, as
        // "0,0,0,58" means the top 58 pixels across the whole width.
        RECT band{client.left + m_rcCaption.left, client.top + m_rcCaption.top, client.right - m_rcCaption.right,
                  client.top + m_rcCaption.bottom};
        Layout();
        CControlUI* c = FindControl(pt);
        result = band.Contains(pt) && !c ? HTCAPTION : HTCLIENT;
        return true;
    }
    case WM_MOUSEMOVE: {
        POINT pt{GetXLParam(lParam), GetYLParam(lParam)};
        m_ptLastMouse = pt;
        Layout();
        SetHot(FindControl(pt), pt);
        if (m_pPushed) {
            TEventUI e{UIEvent::MouseMove, pt, wParam};
            m_pPushed->DoEvent(e);
        }
        return false;
    }
    case WM_MOUSELEAVE:
        SetHot(nullptr, m_ptLastMouse);
        return false;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        POINT pt{GetXLParam(lParam), GetYLParam(lParam)};
        m_ptLastMouse = pt;
        HideToolTip();
        Layout();
        CControlUI* c = FindControl(pt);
        SetHot(c, pt);
        m_pPushed = c;
        if (c) {
            TEventUI e{UIEvent::ButtonDown, pt, wParam};
            c->DoEvent(e);
        }
        return false;
    }
    case WM_LBUTTONUP: {
        POINT pt{GetXLParam(lParam), GetYLParam(lParam)};
        m_ptLastMouse = pt;
        if (CControlUI* c = std::exchange(m_pPushed, nullptr)) {
            TEventUI e{UIEvent::ButtonUp, pt, wParam};
            c->DoEvent(e);
        }
        return false;
    }
    case WM_MOUSEWHEEL: {
        POINT pt{GetXLParam(lParam), GetYLParam(lParam)};
        ScreenToClient(m_hWnd, &pt);
        if (CControlUI* c = FindControl(pt)) {
            TEventUI e{UIEvent::ScrollWheel, pt, wParam};
            c->DoEvent(e);
        }
        return false;
    }
    case WM_TIMER:
        if (wParam != kToolTipTimer) return false;
        KillTimer(m_hWnd, kToolTipTimer);
        ShowToolTip();
        return true;
    case WM_DESTROY:
        HideToolTip();
        return false;
    default:
        return false;
    }
}

}  // namespace DuiLib
