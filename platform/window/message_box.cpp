// The modal message box: text, OK (and Cancel), keyboard and mouse answers.
#include "platform/window/message_box.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/language.h"
#include "platform/window/message_loop.h"
#include "platform/window/messages.h"
#include "platform/window/paint.h"
#include "platform/window/window.h"

namespace platform {

namespace {

constexpr char kFamily[] = "Microsoft YaHei";
constexpr double kTextPx = 14;
constexpr double kButtonTextPx = 13;
constexpr int kPad = 22;
constexpr int kTextMaxWidth = 420;  // wider text wraps
constexpr int kMinWidth = 260;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 28;
constexpr int kButtonGap = 10;
constexpr int kBandHeight = 50;  // the grey band holding the buttons
constexpr uint16_t kChinesePrc = 2052;

struct Button {
    int id;
    std::u16string caption;
    std::u16string name;  // the automation name, "OK" or "Cancel" in any language
    Rect rect;
};

struct Box {
    std::u16string text;
    std::vector<Button> buttons;
    int closeResult = IDCANCEL;
    int focus = 0;
    int hot = -1;
    int pressed = -1;
    int textWidth = 0;
    int textHeight = 0;
    int maxTextHeight = 0;  // taller text is cut with an ellipsis
};

void SetColour(cairo_t* cr, uint32_t rgb) {
    cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -G_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, G_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, G_PI / 2, G_PI);
    cairo_arc(cr, x + r, y + r, r, G_PI, 3 * G_PI / 2);
    cairo_close_path(cr);
}

PangoLayout* TextLayout(cairo_t* cr, const Box& box) {
    PangoLayout* layout = CreateTextLayout(cr, box.text, kFamily, kTextPx);
    pango_layout_set_width(layout, kTextMaxWidth * PANGO_SCALE);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    pango_layout_set_height(layout, box.maxTextHeight * PANGO_SCALE);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    return layout;
}

void Measure(Box& box) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(s);
    PangoLayout* layout = TextLayout(cr, box);
    pango_layout_get_pixel_size(layout, &box.textWidth, &box.textHeight);
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
}

void Paint(Hwnd hwnd, const Box& box) {
    PaintStruct ps;
    cairo_t* cr = BeginPaint(hwnd, &ps);
    if (!cr) return;
    Rect rc;
    GetClientRect(hwnd, &rc);
    SetColour(cr, 0xFFFFFF);
    cairo_paint(cr);
    SetColour(cr, 0xF0F0F0);
    cairo_rectangle(cr, 0, rc.bottom - kBandHeight, rc.right, kBandHeight);
    cairo_fill(cr);

    PangoLayout* text = TextLayout(cr, box);
    SetColour(cr, 0x1E1E1E);
    int textTop = kPad + std::max(0, (rc.bottom - kBandHeight - 2 * kPad - box.textHeight) / 2);
    cairo_move_to(cr, kPad, textTop);
    pango_cairo_show_layout(cr, text);
    g_object_unref(text);

    for (size_t i = 0; i < box.buttons.size(); ++i) {
        const Button& b = box.buttons[i];
        int idx = static_cast<int>(i);
        uint32_t fill = 0xFDFDFD, border = 0xADADAD;
        if (idx == box.pressed) fill = 0xCCE4F7, border = 0x005499;
        else if (idx == box.hot) fill = 0xE5F1FB, border = 0x0078D7;
        else if (idx == box.focus) border = 0x0078D7;
        RoundedRect(cr, b.rect.left + 0.5, b.rect.top + 0.5, b.rect.Width() - 1, b.rect.Height() - 1, 3);
        SetColour(cr, fill);
        cairo_fill_preserve(cr);
        SetColour(cr, border);
        cairo_set_line_width(cr, idx == box.focus ? 2 : 1);
        cairo_stroke(cr);

        PangoLayout* caption = CreateTextLayout(cr, b.caption, kFamily, kButtonTextPx);
        int w, h;
        pango_layout_get_pixel_size(caption, &w, &h);
        SetColour(cr, 0x000000);
        cairo_move_to(cr, b.rect.left + (b.rect.Width() - w) / 2.0, b.rect.top + (b.rect.Height() - h) / 2.0);
        pango_cairo_show_layout(cr, caption);
        g_object_unref(caption);
    }
    EndPaint(hwnd, &ps);
}

int HitButton(const Box& box, LPARAM lParam) {
    Point p{GetXLParam(lParam), GetYLParam(lParam)};
    for (size_t i = 0; i < box.buttons.size(); ++i)
        if (box.buttons[i].rect.Contains(p)) return static_cast<int>(i);
    return -1;
}

LRESULT BoxProc(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    auto* box = static_cast<Box*>(GetWindowUserData(hwnd));
    if (!box) return DefWindowProcW(hwnd, msg, wParam, lParam);
    const int count = static_cast<int>(box->buttons.size());
    switch (msg) {
    case WM_PAINT:
        Paint(hwnd, *box);
        return 0;
    case WM_KEYDOWN:
        switch (wParam) {
        case VK_RETURN:
        case VK_SPACE:
            EndModal(hwnd, box->buttons[static_cast<size_t>(box->focus)].id);
            return 0;
        case VK_ESCAPE:
            EndModal(hwnd, box->closeResult);
            return 0;
        case VK_TAB:
        case VK_RIGHT:
        case VK_DOWN:
            box->focus = (box->focus + 1) % count;
            InvalidateRect(hwnd);
            return 0;
        case VK_LEFT:
        case VK_UP:
            box->focus = (box->focus + count - 1) % count;
            InvalidateRect(hwnd);
            return 0;
        default:
            return 0;
        }
    case WM_MOUSEMOVE: {
        int hot = HitButton(*box, lParam);
        if (hot != box->hot) {
            box->hot = hot;
            InvalidateRect(hwnd);
        }
        return 0;
    }
    case WM_MOUSELEAVE:
        if (box->hot != -1) {
            box->hot = -1;
            InvalidateRect(hwnd);
        }
        return 0;
    case WM_LBUTTONDOWN:
        box->pressed = HitButton(*box, lParam);
        if (box->pressed >= 0) box->focus = box->pressed;
        InvalidateRect(hwnd);
        return 0;
    case WM_LBUTTONUP: {
        int pressed = std::exchange(box->pressed, -1);
        InvalidateRect(hwnd);
        // A press dragged off its button and released elsewhere answers nothing.
        if (pressed >= 0 && HitButton(*box, lParam) == pressed)
            EndModal(hwnd, box->buttons[static_cast<size_t>(pressed)].id);
        return 0;
    }
    case WM_CLOSE:
        EndModal(hwnd, box->closeResult);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

int MessageBoxW(Hwnd owner, std::u16string_view text, std::u16string_view caption, unsigned type) {
    Box box;
    box.text = std::u16string(text);
    bool chinese = GetUserDefaultUILanguage() == kChinesePrc;
    box.buttons.push_back(Button{IDOK, chinese ? u"确定" : u"OK", u"OK", {}});
    if ((type & 0xF) == MB_OKCANCEL) {
        box.buttons.push_back(Button{IDCANCEL, chinese ? u"取消" : u"Cancel", u"Cancel", {}});
        box.closeResult = IDCANCEL;
    } else {
        box.closeResult = IDOK;
    }
    // The box never outgrows the screen, whatever the text.
    Rect screen = GetScreenRect();
    box.maxTextHeight = std::max(screen.Height() - 2 * kPad - kBandHeight - 80, 40);
    Measure(box);

    const int count = static_cast<int>(box.buttons.size());
    const int buttonsWidth = count * kButtonWidth + (count - 1) * kButtonGap;
    const int width = std::max({box.textWidth + 2 * kPad, buttonsWidth + 2 * kPad, kMinWidth});
    const int height = kPad + std::max(box.textHeight, 20) + kPad + kBandHeight;
    int x = width - kPad - buttonsWidth;
    for (Button& b : box.buttons) {
        int top = height - kBandHeight + (kBandHeight - kButtonHeight) / 2;
        b.rect = Rect{x, top, x + kButtonWidth, top + kButtonHeight};
        x += kButtonWidth + kButtonGap;
    }

    CreateWindowParams params;
    params.className = u"#32770";
    params.title = caption;
    params.proc = BoxProc;
    params.userData = &box;
    params.owner = IsWindow(owner) ? owner : nullptr;
    params.style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    params.exStyle = WS_EX_DLGMODALFRAME;
    params.x = screen.left + (screen.Width() - width) / 2;
    params.y = screen.top + (screen.Height() - height) / 2;
    params.width = width;
    params.height = height;
    Hwnd hwnd = CreateWindowW(params);
    if (!hwnd) return 0;

    SetRegionLocator(hwnd, [&box](std::u16string_view name) -> std::optional<Rect> {
        for (const Button& b : box.buttons)
            if (name == b.name || name == b.caption) return b.rect;
        return std::nullopt;
    });
    int result = RunModalLoop(hwnd);
    if (IsWindow(hwnd)) {
        SetWindowUserData(hwnd, nullptr);
        DestroyWindow(hwnd);
    }
    // Ended without an answer (destroyed, or the thread was asked to quit):
    // the same as closing the box.
    return result ? result : box.closeResult;
}

}  // namespace platform
