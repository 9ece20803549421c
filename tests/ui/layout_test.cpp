// Layouts of the skin, loaded off-screen: window sizes, where the named
// controls land, which names exist, the images each language uses, and the
// caption band used for dragging.
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "duilib/UIControls.h"
#include "platform/text.h"
#include "platform/window/paint.h"
#include "ui_test_util.h"

namespace tavlin_ui_test {
namespace {

struct Placed {
    const char16_t* name;
    std::optional<RECT> rect;  // nothing: absent or hidden
};

struct LayoutCase {
    const char* locale;
    std::function<std::unique_ptr<WindowImplBase>()> make;
    int width, height;
    std::vector<Placed> controls;
};

std::vector<LayoutCase> LayoutCases() {
    auto tips = [] { return std::make_unique<CTipsBoxWnd>(nullptr, u"text", 1); };
    auto launch = [] { return std::make_unique<CLaunchWnd>(); };
    auto updater = [](const char16_t* file) {
        return [file] { return std::make_unique<PreviewWnd>(file); };
    };
    return {
        {"zh_CN.UTF-8", tips, 310, 100,
         {{u"titleLabel", RECT{10, 0, 284, 30}},
          {u"closeButton", RECT{290, 8, 304, 22}},
          {u"tipsLabel", RECT{18, 30, 292, 60}},
          {u"cancelButton", RECT{144, 69, 216, 93}},
          {u"confirmButton", RECT{224, 69, 296, 93}}}},
        {"en_US.UTF-8", tips, 310, 100,
         {{u"closeButton", RECT{290, 8, 304, 22}}, {u"confirmButton", RECT{224, 69, 296, 93}}}},
        {"zh_CN.UTF-8", launch, 420, 210,
         {{u"titleLabel", RECT{10, 0, 284, 32}},
          {u"closeButton", RECT{290, 8, 304, 22}},
          {u"tipsLabel", RECT{0, 32, 420, 62}},
          {u"launchButton", RECT{170, 118, 250, 154}}}},
        {"en_US.UTF-8", launch, 420, 210, {{u"launchButton", RECT{170, 118, 250, 154}}}},
        {"zh_CN.UTF-8", updater(u"UpdaterWnd.xml"), 442, 433,
         {{u"vlayout_background", RECT{0, 0, 442, 433}},
          {u"closeButton", RECT{50, 38, 62, 50}},
          {u"minButton", RECT{70, 38, 82, 50}},
          // Clear of the picture in the card's upper right corner.
          {u"title", RECT{65, 70, 259, 131}},
          {u"version", RECT{65, 131, 215, 192}},
          {u"ListContainer", RECT{65, 208, 345, 348}},
          {u"downloadProgress", RECT{65, 362, 383, 366}},
          // As tall as its text (it wraps when narrow), on the card: the
          // card's shadow takes the outer 20 pixels.
          {u"tipsLabel", RECT{65, 373, 383, 388}},
          {u"installButton", std::nullopt},
          {u"skipButton", std::nullopt}}},
        {"en_US.UTF-8", updater(u"UpdaterWnd_en.xml"), 310, 100,
         {{u"titleLabel", RECT{10, 0, 210, 30}},
          {u"tipsLabel", RECT{10, 30, 300, 60}},
          {u"downloadProgress", RECT{10, 74, 170, 77}},
          {u"skipButton", RECT{179, 62, 250, 88}},
          {u"closeButton", std::nullopt},  // hidden
          {u"buttonLayout", std::nullopt},  // hidden
          {u"title", std::nullopt},
          {u"version", std::nullopt},
          {u"ListContainer", std::nullopt},
          {u"minButton", std::nullopt},
          {u"installButton", std::nullopt}}},
    };
}

class LayoutTest : public UiTest {};

TEST_F(LayoutTest, WindowSizesAndControlRectangles) {
    for (const LayoutCase& c : LayoutCases()) {
        UseLocale(c.locale);
        auto wnd = c.make();
        HWND hwnd = wnd->GetHWND();
        ASSERT_NE(hwnd, nullptr) << wnd->GetLoadError();
        RECT rc;
        ASSERT_TRUE(GetClientRect(hwnd, &rc));
        EXPECT_EQ(rc.Width(), c.width) << c.locale;
        EXPECT_EQ(rc.Height(), c.height) << c.locale;
        for (const Placed& p : c.controls) {
            RECT got;
            bool found = platform::GetRegionRect(hwnd, p.name, &got);
            std::string name = platform::Utf16ToUtf8(p.name);
            ASSERT_EQ(found, p.rect.has_value()) << c.locale << " " << name;
            if (found) {
                EXPECT_EQ(got, *p.rect) << c.locale << " " << name << " at " << got.left << "," << got.top << ","
                                        << got.right << "," << got.bottom;
            }
        }
    }
}

TEST_F(LayoutTest, FindControlAnswersNoneForNamesTheLayoutLacks) {
    struct Case {
        const char* locale;
        const char16_t* file;
        std::vector<const char16_t*> present, absent;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", u"UpdaterWnd.xml",
         {u"ListContainer", u"tipsLabel", u"title", u"version", u"closeButton", u"minButton", u"buttonLayout",
          u"progressLayout", u"downloadProgress"},
         {u"installButton", u"skipButton", u"", u"tipslabel"}},
        {"en_US.UTF-8", u"UpdaterWnd_en.xml",
         {u"tipsLabel", u"closeButton", u"buttonLayout", u"progressLayout", u"downloadProgress", u"skipButton"},
         {u"ListContainer", u"title", u"version", u"minButton", u"installButton"}},
    };
    for (const Case& c : cases) {
        UseLocale(c.locale);
        PreviewWnd wnd(c.file);
        ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
        for (const char16_t* name : c.present)
            EXPECT_NE(wnd.GetPaintManager().FindControl(name), nullptr) << platform::Utf16ToUtf8(name);
        for (const char16_t* name : c.absent)
            EXPECT_EQ(wnd.GetPaintManager().FindControl(name), nullptr) << platform::Utf16ToUtf8(name);
    }
    // The progress bar keeps its value inside the declared range.
    UseChinese();
    PreviewWnd wnd(u"UpdaterWnd.xml");
    auto* bar = dynamic_cast<CProgressUI*>(wnd.GetPaintManager().FindControl(u"downloadProgress"));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->GetMinValue(), 0);
    EXPECT_EQ(bar->GetMaxValue(), 100);
    bar->SetValue(130);
    EXPECT_EQ(bar->GetValue(), 100);
}

// Every image a layout names, with the suffix rule of its language, the
// pixel size the skin gives it and its twin for high-resolution screens.
TEST_F(LayoutTest, EachLanguageUsesOnlyItsOwnImagesAtTheirSizes) {
    const std::map<std::u16string, SIZE> sizes = {
        {u"UpdateBk.png", {442, 430}},    {u"UpdateBkClose.png", {24, 24}}, {u"UpdateBkMin.png", {24, 24}},
        {u"btn_close_n.png", {14, 14}},   {u"btn_launch_n.png", {71, 26}},  {u"btn_launch_n_en.png", {71, 26}},
        {u"btn_cancel_h.png", {72, 24}},  {u"btn_cancel_p_en.png", {72, 24}}, {u"btn_common_p.png", {71, 26}},
        {u"btn_skip_n_en.png", {71, 26}}, {u"progress_fg.png", {40, 2}},    {u"progress_bg_en.png", {40, 2}},
        {u"btn_close_h_en.png", {14, 14}},
    };
    struct Case {
        const char* locale;
        std::function<std::unique_ptr<WindowImplBase>()> make;
        bool english;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", [] { return std::make_unique<CTipsBoxWnd>(nullptr, u"", 1); }, false},
        {"zh_TW.UTF-8", [] { return std::make_unique<CTipsBoxWnd>(nullptr, u"", 1); }, true},
        {"en_US.UTF-8", [] { return std::make_unique<CLaunchWnd>(); }, true},
        {"zh_CN.UTF-8", [] { return std::make_unique<CLaunchWnd>(); }, false},
        {"zh_CN.UTF-8", [] { return std::make_unique<PreviewWnd>(u"UpdaterWnd.xml"); }, false},
        {"en_US.UTF-8", [] { return std::make_unique<PreviewWnd>(u"UpdaterWnd_en.xml"); }, true},
    };
    for (const Case& c : cases) {
        UseLocale(c.locale);
        auto wnd = c.make();
        ASSERT_NE(wnd->GetHWND(), nullptr) << wnd->GetLoadError();
        CPaintManagerUI& pm = wnd->GetPaintManager();
        int images = 0;
        pm.GetRoot()->ForEach([&](CControlUI& control) {
            std::vector<std::u16string> names = {control.GetBkImage()};
            if (auto* b = dynamic_cast<CButtonUI*>(&control))
                names.insert(names.end(), {b->GetNormalImage(), b->GetHotImage(), b->GetPushedImage()});
            if (auto* p = dynamic_cast<CProgressUI*>(&control)) names.push_back(p->GetForeImage());
            for (const std::u16string& name : names) {
                if (name.empty()) continue;
                ++images;
                const std::string n = platform::Utf16ToUtf8(name);
                EXPECT_EQ(name.ends_with(u"_en.png"), c.english) << c.locale << " " << n;
                cairo_surface_t* img = pm.GetImage(name);
                ASSERT_NE(img, nullptr) << n << " missing from the skin";
                if (auto it = sizes.find(name); it != sizes.end()) {
                    EXPECT_EQ(cairo_image_surface_get_width(img), it->second.cx) << n;
                    EXPECT_EQ(cairo_image_surface_get_height(img), it->second.cy) << n;
                }
                // High-resolution screens draw a twin of twice the size,
                // except the progress window's dots, which are drawn at
                // twice their shown size to begin with.
                const TImageInfo twin = pm.GetImage(name, 2);
                const bool drawnDouble = name.find(u"UpdateBkClose") != std::u16string::npos ||
                                         name.find(u"UpdateBkMin") != std::u16string::npos;
                EXPECT_EQ(twin.density, drawnDouble ? 1 : 2) << n;
                if (twin.surface && twin.density == 2) {
                    EXPECT_EQ(cairo_image_surface_get_width(twin.surface), 2 * cairo_image_surface_get_width(img)) << n;
                    EXPECT_EQ(cairo_image_surface_get_height(twin.surface), 2 * cairo_image_surface_get_height(img))
                        << n;
                }
            }
        });
        EXPECT_GE(images, 4) << c.locale;
    }
}

TEST_F(LayoutTest, WindowIdentityAndSkinSource) {
    UseEnglish();
    CTipsBoxWnd tips(nullptr, u"x", 0);
    EXPECT_EQ(platform::GetClassNameW(tips.GetHWND()), u"zeb_updater_tips_wnd_class_name");
    EXPECT_EQ(platform::GetWindowTextW(tips.GetHWND()), u"vostrapanel提示");
    EXPECT_EQ(tips.GetClassStyle(), 0x0Bu);
    EXPECT_EQ(tips.GetResourceType(), UILIB_ZIPRESOURCE);
    EXPECT_EQ(tips.GetResourceID(), 102);
    EXPECT_EQ(tips.GetSkinFolder(), u"");
    // A tool window without a frame of the window manager's: the layout
    // draws its own title bar.
    EXPECT_TRUE(platform::GetWindowExStyle(tips.GetHWND()) & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(platform::GetWindowStyle(tips.GetHWND()) & WS_CAPTION);
    EXPECT_TRUE(platform::IsWindowVisible(tips.GetHWND()));

    CLaunchWnd launchEn;
    EXPECT_EQ(platform::GetClassNameW(launchEn.GetHWND()), u"zeb_updater_launch_wnd_class_name");
    EXPECT_EQ(platform::GetWindowTextW(launchEn.GetHWND()), u"Update Program");
    // Its layout keeps it hidden until the caller shows it.
    EXPECT_FALSE(platform::IsWindowVisible(launchEn.GetHWND()));
    UseChinese();
    CLaunchWnd launchZh;
    EXPECT_EQ(platform::GetWindowTextW(launchZh.GetHWND()), u"升级程序");

    // The progress window's layout is layered: its corners stay transparent.
    PreviewWnd updater(u"UpdaterWnd.xml");
    EXPECT_TRUE(platform::GetWindowExStyle(updater.GetHWND()) & WS_EX_LAYERED);
    EXPECT_EQ(updater.GetPaintManager().GetLayeredOpacity(), 255);
    // The minimise command reaches the window system through the library.
    updater.ShowWindow(true);
    platform::SendMessageW(updater.GetHWND(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(platform::IsIconic(updater.GetHWND()));
}

TEST_F(LayoutTest, CaptionBandDragsExceptOverButtons) {
    UseChinese();
    CTipsBoxWnd tips(nullptr, u"x", 1);
    PreviewWnd updater(u"UpdaterWnd.xml");
    struct Case {
        WindowImplBase* wnd;
        POINT client;
        LRESULT hit;
    };
    const Case cases[] = {
        {&tips, {100, 5}, HTCAPTION},     // title bar, in the band
        {&tips, {100, 19}, HTCAPTION},    // last row of the 20-pixel band
        {&tips, {100, 20}, HTCLIENT},     // below the band
        {&tips, {296, 12}, HTCLIENT},     // the close button
        {&tips, {180, 80}, HTCLIENT},     // the cancel button
        {&updater, {200, 57}, HTCAPTION}, // 58-pixel band of the progress window
        {&updater, {55, 42}, HTCLIENT},   // its close dot
        {&updater, {200, 58}, HTCLIENT},
    };
    for (const Case& c : cases) {
        POINT screen = c.client;
        ASSERT_TRUE(platform::ClientToScreen(c.wnd->GetHWND(), &screen));
        EXPECT_EQ(platform::SendMessageW(c.wnd->GetHWND(), WM_NCHITTEST, 0, MakeLParam(screen.x, screen.y)), c.hit)
            << c.client.x << "," << c.client.y;
    }
}

TEST_F(LayoutTest, ReleaseNotesListStacksWrappedItemsAndScrolls) {
    UseChinese();
    PreviewWnd wnd(u"UpdaterWnd.xml");
    auto* list = dynamic_cast<CListUI*>(wnd.GetPaintManager().FindControl(u"ListContainer"));
    ASSERT_NE(list, nullptr);
    list->RemoveAll();
    list->EnableScrollBar(true, false);
    const std::u16string pieces[] = {u"修复了若干问题，提升了稳定性和下载速度，并优化了界面显示效果。", u"", u"short",
                                      u"line four", u"line five", u"line six", u"line seven", u"line eight"};
    for (const std::u16string& text : pieces) {
        auto* label = new CLabelUI;
        label->SetAttribute(u"width", u"260");
        label->SetAttribute(u"multiline", u"true");
        label->SetAttribute(u"wordbreak", u"true");
        label->SetFont(2);
        label->SetTextColor(0x005D5D5D);
        label->SetText(text);
        list->Add(label);
    }
    ASSERT_EQ(list->GetCount(), 8);
    RECT dummy;
    platform::GetRegionRect(wnd.GetHWND(), u"ListContainer", &dummy);  // lays the window out
    const RECT first = list->GetItemAt(0)->GetPos();
    const RECT third = list->GetItemAt(2)->GetPos();
    EXPECT_EQ(first.Width(), 260);
    EXPECT_GT(first.Height(), third.Height()) << "the long piece wraps onto more lines";
    for (int i = 1; i < list->GetCount(); ++i)
        EXPECT_EQ(list->GetItemAt(i)->GetPos().top, list->GetItemAt(i - 1)->GetPos().bottom) << i;
    ASSERT_GT(list->GetScrollRange(), 0);
    // A wheel turn towards the user scrolls the items up.
    RECT lr = list->GetPos();
    POINT at{lr.left + 10, lr.top + 10};
    platform::ClientToScreen(wnd.GetHWND(), &at);
    platform::SendMessageW(wnd.GetHWND(), WM_MOUSEWHEEL, static_cast<WPARAM>(static_cast<uint16_t>(-120)) << 16,
                           MakeLParam(at.x, at.y));
    platform::GetRegionRect(wnd.GetHWND(), u"ListContainer", &dummy);
    EXPECT_GT(list->GetScrollPos(), 0);
    EXPECT_LT(list->GetItemAt(0)->GetPos().top, first.top);
}

}  // namespace
}  // namespace tavlin_ui_test
