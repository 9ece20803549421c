// tavlin-skin-shot as a process: every window in both languages rendered to
// PNG at its size, with text really drawn; Chinese text finds its glyphs.
#include <pango/pangocairo.h>

#include <map>
#include <string>

#include "child_process.h"
#include "platform/text.h"
#include "platform/window/paint.h"
#include "temp_dir.h"
#include "ui_test_util.h"

namespace tavlin_ui_test {
namespace {

// Pixels in rc that differ clearly from the rectangle's most common colour.
int InkPixels(cairo_surface_t* s, RECT rc) {
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    auto at = [&](int x, int y) { return *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4); };
    std::map<uint32_t, int> counts;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x) ++counts[at(x, y)];
    uint32_t background = 0;
    int best = -1;
    for (auto [colour, n] : counts)
        if (n > best) best = n, background = colour;
    auto channel = [](uint32_t c, int shift) { return static_cast<int>((c >> shift) & 0xFF); };
    int ink = 0;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x) {
            uint32_t c = at(x, y);
            int diff = 0;
            for (int shift : {0, 8, 16}) diff += std::abs(channel(c, shift) - channel(background, shift));
            if (diff > 150) ++ink;
        }
    return ink;
}

TEST(SkinShotTest, RendersEveryWindowInBothLanguagesWithText) {
    tavlin_test::TempDir dir("tavlin-shot-");
    tavlin_test::Environment env = tavlin_test::Environment::Inherit();
    env.Unset("DISPLAY");  // must not need a display
    tavlin_test::RunResult r = tavlin_test::Run({TAVLIN_SKIN_SHOT, dir.path()}, env, 30000);
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    struct Shot {
        const char* file;
        int width, height;  // a prompt box may be taller: long messages wrap
        RECT textArea;      // a label that must show its text
    };
    const Shot shots[] = {
        {"TipsBoxWnd.png", 310, 100, {18, 30, 310, 60}},   {"TipsBoxWnd_en.png", 310, 100, {18, 30, 310, 60}},
        {"LaunchWnd.png", 420, 210, {0, 32, 420, 62}},     {"LaunchWnd_en.png", 420, 210, {0, 32, 420, 62}},
        {"UpdaterWnd.png", 442, 433, {65, 70, 357, 137}},  {"UpdaterWnd_en.png", 310, 100, {10, 0, 210, 30}},
    };
    for (const Shot& s : shots) {
        const std::string path = dir / s.file;
        cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
        ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS) << s.file;
        EXPECT_EQ(cairo_image_surface_get_width(png), s.width) << s.file;
        if (std::string(s.file).starts_with("TipsBoxWnd")) {
            EXPECT_GE(cairo_image_surface_get_height(png), s.height) << s.file;
        } else {
            EXPECT_EQ(cairo_image_surface_get_height(png), s.height) << s.file;
        }
        EXPECT_GT(InkPixels(png, s.textArea), 40) << s.file << ": no text drawn";
        // The title bars' white titles on blue.
        if (s.height == 100 || s.height == 210) {
            EXPECT_GT(InkPixels(png, RECT{10, 0, 200, 30}), 30) << s.file;
        }
        cairo_surface_destroy(png);
    }
    // The progress window is layered: transparent outside its card.
    cairo_surface_t* updater = cairo_image_surface_create_from_png((dir / "UpdaterWnd.png").c_str());
    ASSERT_EQ(cairo_surface_status(updater), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_data(updater)[3], 0) << "corner pixel not transparent";
    cairo_surface_destroy(updater);
}

TEST(SkinShotTest, ChineseTextUsesTheCjkFontNotBoxes) {
    platform::EnsureFontAliases();
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(s);
    for (const char16_t* text : {u"升级完成，重新打开上课吧！", u"网络已断开，请检查网络环境后重试~", u"确定 取消 提示"}) {
        PangoLayout* layout = platform::CreateTextLayout(cr, text, "微软雅黑", 14);
        EXPECT_EQ(pango_layout_get_unknown_glyphs_count(layout), 0) << platform::Utf16ToUtf8(text);
        PangoLayoutIter* it = pango_layout_get_iter(layout);
        PangoLayoutRun* run = pango_layout_iter_get_run_readonly(it);
        ASSERT_NE(run, nullptr);
        PangoFontDescription* desc = pango_font_describe(run->item->analysis.font);
        // fontconfig names the face in the language of the locale, which
        // other tests of this program switch to Chinese.
        const std::string family = pango_font_description_get_family(desc);
        EXPECT_TRUE(family == "WenQuanYi Micro Hei" || family == "文泉驿微米黑") << family;
        pango_font_description_free(desc);
        pango_layout_iter_free(it);
        g_object_unref(layout);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
}

}  // namespace
}  // namespace tavlin_ui_test
