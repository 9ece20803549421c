// Text with the aliased face, and what windows show (off-screen).
#include <pango/pangocairo.h>

#include <cstdlib>
#include <set>
#include <string>

#include "platform/text.h"
#include "platform/window/automation.h"
#include "platform/window/message_box.h"
#include "platform/window/paint.h"
#include "temp_dir.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

constexpr char16_t kChinese[] = u"检测到程序正在运行，是否重新打开!";

// Families of the fonts pango picked for each run of the layout.
std::set<std::string> RunFamilies(PangoLayout* layout) {
    std::set<std::string> families;
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    do {
        PangoLayoutRun* run = pango_layout_iter_get_run_readonly(it);
        if (!run) continue;
        PangoFontDescription* d = pango_font_describe(run->item->analysis.font);
        families.insert(pango_font_description_get_family(d));
        pango_font_description_free(d);
    } while (pango_layout_iter_next_run(it));
    pango_layout_iter_free(it);
    return families;
}

void UseLanguage(const char* lang) {
    setenv("LANG", lang, 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
}

// A Chinese interface draws Chinese and Latin text alike with the CJK face
// the Windows UI face stands for; in any language Chinese text shows
// without unknown glyphs. (Which face an English interface gets for Latin
// text also depends on pango's default language, fixed once per process:
// the message box test of the X11 suite checks it in fresh processes.)
TEST(Rendering, WindowsUiFaceFollowsTheInterfaceLanguage) {
    // fontconfig names the face in the language of the locale.
    const std::set<std::string> cjk = {"WenQuanYi Micro Hei", "文泉驿微米黑"};
    const std::u16string mixed = std::u16string(kChinese) + u" Update Program 8.6.6";
    struct Case {
        const char* lang;
        std::u16string text;
        bool cjkOnly;  // one run family, the CJK face
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", mixed, true},
        {"zh_CN.UTF-8", u"Update Program 8.6.6", true},
        {"en_US.UTF-8", mixed, false},
        {"zh_TW.UTF-8", mixed, false},
    };
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 10, 10);
    cairo_t* cr = cairo_create(s);
    for (const Case& c : cases) {
        UseLanguage(c.lang);
        for (const char* family : {"微软雅黑", "Microsoft YaHei", "microsoft yahei"}) {
            SCOPED_TRACE(std::string(c.lang) + " " + family + " " + Utf16ToUtf8(c.text));
            PangoLayout* layout = CreateTextLayout(cr, c.text, family, 14);
            EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout), 0);
            const std::set<std::string> families = RunFamilies(layout);
            if (c.cjkOnly) {
                ASSERT_EQ(families.size(), 1u);
                EXPECT_EQ(cjk.count(*families.begin()), 1u) << *families.begin();
            }
            g_object_unref(layout);
        }
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
}

// Pixels of a PNG that are clearly darker than the light backgrounds.
int DarkPixels(const std::string& png, const Rect& area) {
    cairo_surface_t* img = cairo_image_surface_create_from_png(png.c_str());
    EXPECT_EQ(cairo_surface_status(img), CAIRO_STATUS_SUCCESS);
    int dark = 0;
    if (cairo_surface_status(img) == CAIRO_STATUS_SUCCESS) {
        const unsigned char* data = cairo_image_surface_get_data(img);
        int stride = cairo_image_surface_get_stride(img);
        for (int y = area.top; y < area.bottom && y < cairo_image_surface_get_height(img); ++y)
            for (int x = area.left; x < area.right && x < cairo_image_surface_get_width(img); ++x) {
                uint32_t px = *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4);
                int lum = (((px >> 16) & 0xFF) + ((px >> 8) & 0xFF) + (px & 0xFF)) / 3;
                if (lum < 100) ++dark;
            }
    }
    cairo_surface_destroy(img);
    return dark;
}

TEST(Rendering, SavedMessageBoxShowsItsTextAndButtons) {
    SetOffscreenMode(true);
    setenv("LANG", "zh_CN.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    tavlin_test::TempDir dir;
    const std::string png = dir / "box.png";
    Rect text, ok, client;
    auto result = std::async(std::launch::async, [] { return MessageBoxW(nullptr, kChinese, u"提示", MB_OKCANCEL); });
    Hwnd box = WaitForWindow(u"#32770", u"提示", 5000);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return IsModalRunning(box); }));
    ASSERT_TRUE(SaveWindowPng(box, png));
    ASSERT_TRUE(GetRegionRect(box, u"确定", &ok));
    GetClientRect(box, &client);
    SendKey(box, VK_ESCAPE);
    EXPECT_EQ(GetWithin(result, 5000, "box"), IDCANCEL);

    // The text sits above the button band; its strokes are dark.
    text = Rect{0, 0, client.right, ok.top - 12};
    EXPECT_GT(DarkPixels(png, text), 200);
    EXPECT_GT(DarkPixels(png, ok), 20);  // the caption
}

TEST(Rendering, PaintGoesToTheBackBufferAndOnlyWhenInvalid) {
    SetOffscreenMode(true);
    int paints = 0;
    Handler h = [&](Hwnd self, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_PAINT) return std::nullopt;
        ++paints;
        PaintStruct ps;
        cairo_t* cr = BeginPaint(self, &ps);
        cairo_set_source_rgb(cr, 1, 0, 0);
        cairo_paint(cr);
        EndPaint(self, &ps);
        return 0;
    };
    Hwnd w = MakeWindow(&h, u"paint", nullptr, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_TRUE(PumpUntil([&] { return paints == 1; }));
    cairo_surface_t* s = GetWindowSurface(w);
    ASSERT_NE(s, nullptr);
    cairo_surface_flush(s);
    uint32_t px = *reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s));
    EXPECT_EQ(px, 0xFFFF0000u);
    // Nothing invalid: no further paints.
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(paints, 1);
    // A resize repaints at the new size.
    ASSERT_TRUE(MoveWindow(w, 0, 0, 300, 50));
    ASSERT_TRUE(PumpUntil([&] { return paints == 2; }));
    EXPECT_EQ(cairo_image_surface_get_width(GetWindowSurface(w)), 300);
    DestroyWindow(w);
}

}  // namespace
}  // namespace tavlin_window_test
