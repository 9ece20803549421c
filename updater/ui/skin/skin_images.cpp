// Drawing of the skin's images. Colours: blue #1694FF (title bars, hot
// buttons), orange #FF6C00 (the Chinese progress bar and the rocket).
#include "skin_images.h"

#include <pango/pangocairo.h>

#include <cmath>
#include <utility>

#include "platform/window/paint.h"

namespace skin {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgb {
    double r, g, b;
};

constexpr Rgb kBlue{0x16 / 255.0, 0x94 / 255.0, 0xFF / 255.0};
constexpr Rgb kBluePushed{0x0E / 255.0, 0x78 / 255.0, 0xD6 / 255.0};
constexpr Rgb kOrange{0xFF / 255.0, 0x6C / 255.0, 0x00 / 255.0};
constexpr Rgb kLightOrange{0xFF / 255.0, 0x9A / 255.0, 0x3C / 255.0};
constexpr Rgb kCream{0xFF / 255.0, 0xF1 / 255.0, 0xD6 / 255.0};
constexpr Rgb kYellow{0xFF / 255.0, 0xD2 / 255.0, 0x2E / 255.0};
constexpr Rgb kGreyBorder{0xC8 / 255.0, 0xC8 / 255.0, 0xC8 / 255.0};
constexpr Rgb kTrack{0xE6 / 255.0, 0xE6 / 255.0, 0xE6 / 255.0};
constexpr Rgb kDark{0x4A / 255.0, 0x2A / 255.0, 0x1A / 255.0};

void Set(cairo_t* cr, Rgb c, double a = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, a); }

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

// w x h layout pixels at `scale` device pixels each; drawing code speaks
// layout pixels, cairo's device scale does the rest.
cairo_surface_t* NewSurface(int w, int h, int scale) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w * scale, h * scale);
    cairo_surface_set_device_scale(s, scale, scale);
    return s;
}

// Draws a centred caption; false when it does not fit inside the border.
bool Caption(cairo_t* cr, const char16_t* text, int w, int h, Rgb colour, double px) {
    constexpr int kBorder = 2;
    // The face named, not the UI face, which follows the language of the
    // one who builds the skin.
    PangoLayout* layout = platform::CreateTextLayout(cr, text, "WenQuanYi Micro Hei", px);
    int tw = 0, th = 0;
    pango_layout_get_pixel_size(layout, &tw, &th);
    Set(cr, colour);
    cairo_move_to(cr, (w - tw) / 2.0, (h - th) / 2.0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    return tw <= w - 2 * kBorder && th <= h;
}

enum class State { Normal, Hot, Pushed };

// A rectangular button: white with a thin grey border and a black caption,
// or blue with a white caption when hot or pushed.
Image Button(std::string name, int w, int h, const char16_t* text, State state, int scale) {
    cairo_surface_t* s = NewSurface(w, h, scale);
    cairo_t* cr = cairo_create(s);
    RoundedRect(cr, 0.5, 0.5, w - 1, h - 1, 2);
    if (state == State::Normal) {
        Set(cr, Rgb{1, 1, 1});
        cairo_fill_preserve(cr);
        Set(cr, kGreyBorder);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
    } else {
        Set(cr, state == State::Hot ? kBlue : kBluePushed);
        cairo_fill(cr);
    }
    bool fits = true;
    if (text) fits = Caption(cr, text, w, h, state == State::Normal ? Rgb{0, 0, 0} : Rgb{1, 1, 1}, 13);
    cairo_destroy(cr);
    return {std::move(name), s, fits};
}

// 14 x 14: a white cross, on a blue square when hot or pushed.
cairo_surface_t* CloseButton(State state, int scale) {
    cairo_surface_t* s = NewSurface(14, 14, scale);
    cairo_t* cr = cairo_create(s);
    if (state != State::Normal) {
        Set(cr, state == State::Hot ? kBlue : kBluePushed);
        cairo_rectangle(cr, 0, 0, 14, 14);
        cairo_fill(cr);
    }
    Set(cr, Rgb{1, 1, 1});
    cairo_set_line_width(cr, 1.6);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_move_to(cr, 3.5, 3.5);
    cairo_line_to(cr, 10.5, 10.5);
    cairo_move_to(cr, 10.5, 3.5);
    cairo_line_to(cr, 3.5, 10.5);
    cairo_stroke(cr);
    cairo_destroy(cr);
    return s;
}

// 24 x 24 dots of the progress window: close (red, cross), minimise
// (yellow, dash).
cairo_surface_t* Dot(bool close) {
    cairo_surface_t* s = NewSurface(24, 24, 1);
    cairo_t* cr = cairo_create(s);
    cairo_arc(cr, 12, 12, 11.5, 0, 2 * kPi);
    Set(cr, close ? Rgb{0xFF / 255.0, 0x5F / 255.0, 0x57 / 255.0} : Rgb{0xFF / 255.0, 0xBD / 255.0, 0x2E / 255.0});
    cairo_fill(cr);
    Set(cr, kDark, 0.85);
    cairo_set_line_width(cr, 2.4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    if (close) {
        cairo_move_to(cr, 8, 8);
        cairo_line_to(cr, 16, 16);
        cairo_move_to(cr, 16, 8);
        cairo_line_to(cr, 8, 16);
    } else {
        cairo_move_to(cr, 7, 12);
        cairo_line_to(cr, 17, 12);
    }
    cairo_stroke(cr);
    cairo_destroy(cr);
    return s;
}

cairo_surface_t* Bar(Rgb colour, int scale) {
    cairo_surface_t* s = NewSurface(40, 2, scale);
    cairo_t* cr = cairo_create(s);
    Set(cr, colour);
    cairo_paint(cr);
    cairo_destroy(cr);
    return s;
}

void Sparkle(cairo_t* cr, double x, double y, double r) {
    cairo_move_to(cr, x, y - r);
    cairo_curve_to(cr, x + r * 0.15, y - r * 0.15, x + r * 0.15, y - r * 0.15, x + r, y);
    cairo_curve_to(cr, x + r * 0.15, y + r * 0.15, x + r * 0.15, y + r * 0.15, x, y + r);
    cairo_curve_to(cr, x - r * 0.15, y + r * 0.15, x - r * 0.15, y + r * 0.15, x - r, y);
    cairo_curve_to(cr, x - r * 0.15, y - r * 0.15, x - r * 0.15, y - r * 0.15, x, y - r);
    cairo_close_path(cr);
    Set(cr, kYellow);
    cairo_fill(cr);
}

void Cloud(cairo_t* cr, double x, double y, double scale, Rgb colour) {
    Set(cr, colour);
    const double puffs[][3] = {{0, 0, 34}, {40, -18, 42}, {86, -4, 36}, {120, 10, 26}, {-34, 12, 24}};
    for (const auto& p : puffs) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, x + p[0] * scale, y + p[1] * scale, p[2] * scale, 0, 2 * kPi);
    }
    cairo_rectangle(cr, x - 34 * scale, y, 154 * scale, 36 * scale);
    cairo_fill(cr);
}

void Rocket(cairo_t* cr, double cx, double cy) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, kPi / 4);  // rising to the upper right
    // flame
    cairo_move_to(cr, -22, 70);
    cairo_curve_to(cr, -18, 120, 0, 150, 0, 160);
    cairo_curve_to(cr, 0, 150, 18, 120, 22, 70);
    cairo_close_path(cr);
    Set(cr, kYellow);
    cairo_fill(cr);
    // fins
    for (int side : {-1, 1}) {
        cairo_move_to(cr, side * 30, 20);
        cairo_line_to(cr, side * 62, 80);
        cairo_line_to(cr, side * 30, 70);
        cairo_close_path(cr);
        Set(cr, kOrange);
        cairo_fill(cr);
    }
    // body
    cairo_move_to(cr, 0, -110);
    cairo_curve_to(cr, 48, -70, 42, 40, 30, 78);
    cairo_line_to(cr, -30, 78);
    cairo_curve_to(cr, -42, 40, -48, -70, 0, -110);
    cairo_close_path(cr);
    Set(cr, kLightOrange);
    cairo_fill(cr);
    // nose
    cairo_move_to(cr, 0, -110);
    cairo_curve_to(cr, 24, -92, 32, -72, 34, -60);
    cairo_line_to(cr, -34, -60);
    cairo_curve_to(cr, -32, -72, -24, -92, 0, -110);
    Set(cr, kOrange);
    cairo_fill(cr);
    // window
    cairo_arc(cr, 0, -18, 17, 0, 2 * kPi);
    Set(cr, kCream);
    cairo_fill_preserve(cr);
    Set(cr, kOrange);
    cairo_set_line_width(cr, 6);
    cairo_stroke(cr);
    cairo_restore(cr);
}

// 442 x 430: a white card with rounded corners in a soft shadow margin,
// the rocket in its upper right corner. Drawn in units of half a pixel.
cairo_surface_t* Background(int scale) {
    const int w = 884, h = 860, margin = 40;
    cairo_surface_t* s = NewSurface(w / 2, h / 2, scale);
    cairo_t* cr = cairo_create(s);
    cairo_scale(cr, 0.5, 0.5);
    for (int i = margin; i > 0; i -= 2) {
        RoundedRect(cr, margin - i, margin - i + 6, w - 2 * (margin - i), h - 2 * (margin - i) - 6, 24 + i);
        cairo_set_source_rgba(cr, 0, 0, 0, 0.012);
        cairo_fill(cr);
    }
    RoundedRect(cr, margin, margin, w - 2 * margin, h - 2 * margin, 24);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill_preserve(cr);
    cairo_clip(cr);
    // Clouds along the card's top right, the rocket rising out of them.
    Cloud(cr, 700, 250, 1.1, kCream);
    Cloud(cr, 620, 290, 0.8, kLightOrange);
    Rocket(cr, 705, 170);
    Cloud(cr, 760, 290, 0.9, kCream);
    cairo_arc(cr, 560, 110, 18, 0, 2 * kPi);
    Set(cr, kOrange);
    cairo_fill(cr);
    cairo_arc(cr, 800, 360, 12, 0, 2 * kPi);
    Set(cr, kLightOrange);
    cairo_fill(cr);
    cairo_save(cr);
    cairo_translate(cr, 560, 110);
    cairo_scale(cr, 1.8, 0.5);
    cairo_arc(cr, 0, 0, 18, 0, 2 * kPi);
    cairo_restore(cr);
    Set(cr, kOrange);
    cairo_set_line_width(cr, 3);
    cairo_stroke(cr);
    Sparkle(cr, 620, 80, 14);
    Sparkle(cr, 820, 110, 10);
    Sparkle(cr, 600, 200, 9);
    Sparkle(cr, 830, 220, 12);
    cairo_destroy(cr);
    return s;
}

}  // namespace

std::vector<Image> DrawSkinImages(int scale) {
    std::vector<Image> out;
    // The card has a twin like the other images: a window at scale 1 then
    // decodes 0.75 MB for it instead of 3 MB. The dots are drawn at twice
    // the size their layout shows them and need no larger twin.
    out.push_back({"UpdateBk.png", Background(scale)});
    if (scale == 1) {
        out.push_back({"UpdateBkClose.png", Dot(true)});
        out.push_back({"UpdateBkMin.png", Dot(false)});
    }
    struct Named {
        const char* stem;
        int w, h;
        const char16_t* zh;
        const char16_t* en;
    };
    const Named buttons[] = {
        {"btn_launch", 71, 26, u"打开客户端", u"Launch"},
        {"btn_cancel", 72, 24, u"取消", u"Cancel"},
        {"btn_common", 71, 26, nullptr, nullptr},
    };
    const std::pair<const char*, State> states[] = {{"n", State::Normal}, {"h", State::Hot}, {"p", State::Pushed}};
    for (const auto& [letter, state] : states) {
        std::string suffix = std::string("_") + letter;
        for (const Named& b : buttons) {
            out.push_back(Button(b.stem + suffix + ".png", b.w, b.h, b.zh, state, scale));
            out.push_back(Button(b.stem + suffix + "_en.png", b.w, b.h, b.en, state, scale));
        }
        out.push_back(Button("btn_skip" + suffix + "_en.png", 71, 26, u"Next time", state, scale));
        out.push_back({"btn_close" + suffix + ".png", CloseButton(state, scale)});
        out.push_back({"btn_close" + suffix + "_en.png", CloseButton(state, scale)});
    }
    out.push_back({"progress_bg.png", Bar(kTrack, scale)});
    out.push_back({"progress_fg.png", Bar(kOrange, scale)});
    out.push_back({"progress_bg_en.png", Bar(kTrack, scale)});
    out.push_back({"progress_fg_en.png", Bar(kBlue, scale)});
    return out;
}

cairo_surface_t* DrawProgramIcon(int size) {
    cairo_surface_t* s = NewSurface(size, size, 1);
    cairo_t* cr = cairo_create(s);
    cairo_scale(cr, size / 64.0, size / 64.0);
    RoundedRect(cr, 2, 2, 60, 60, 12);
    Set(cr, kBlue);
    cairo_fill(cr);
    // An arrow rising out of a tray: "update".
    Set(cr, Rgb{1, 1, 1});
    cairo_move_to(cr, 32, 12);
    cairo_line_to(cr, 48, 30);
    cairo_line_to(cr, 38, 30);
    cairo_line_to(cr, 38, 44);
    cairo_line_to(cr, 26, 44);
    cairo_line_to(cr, 26, 30);
    cairo_line_to(cr, 16, 30);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_rectangle(cr, 14, 48, 36, 5);
    cairo_fill(cr);
    cairo_destroy(cr);
    return s;
}

}  // namespace skin
