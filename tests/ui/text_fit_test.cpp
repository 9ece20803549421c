// Every text of every window where the user can read it: each layout in
// both languages and each state it shows (percentages, speeds, retry
// counts, both modes, completion, the prompts and their captions) rendered
// off-screen, each label's text measured with pango where it is drawn and
// checked against its control, the controls around it, the window and the
// opaque pixels of the card. Also the progress window narrowed to 360
// pixels after a first retry, as rendered pixels.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "LaunchWnd.h"
#include "ProgressText.h"
#include "TipsBoxWnd.h"
#include "UpdaterWnd.h"
#include "download/zipDownloader.h"
#include "platform/text.h"
#include "platform/window/automation.h"
#include "platform/window/message_loop.h"
#include "platform/window/paint.h"

namespace {

using namespace DuiLib;

// A job that is never started; the window only reads its flag.
class IdleJob : public ZipDownloader {
public:
    explicit IdleJob(const UpdateParams& params) : ZipDownloader(params) {}
    void DoInstall() override {}
};

void UseLocale(const char* locale) { setenv("LC_ALL", locale, 1); }

std::string Utf8(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

std::string Show(const RECT& r) {
    std::ostringstream out;
    out << "(" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom << ")";
    return out.str();
}

// The same colour but for the rounding of the image filter.
bool Near(uint32_t a, uint32_t b) {
    for (int shift = 0; shift < 32; shift += 8)
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > 2) return false;
    return true;
}

bool Inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// What the window shows, drawn as its paint handler draws it.
class Rendering {
public:
    // scale: device pixels per layout pixel, as on a high-resolution screen.
    explicit Rendering(WindowImplBase& wnd, int scale = 1) {
        RECT client;
        GetClientRect(wnd.GetHWND(), &client);
        surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, client.Width() * scale, client.Height() * scale);
        cairo_surface_set_device_scale(surface_, scale, scale);
        cairo_t* cr = cairo_create(surface_);
        wnd.GetPaintManager().Render(cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface_);
    }
    ~Rendering() { cairo_surface_destroy(surface_); }
    void Save(const std::string& path) const { cairo_surface_write_to_png(surface_, path.c_str()); }
    Rendering(const Rendering&) = delete;
    Rendering& operator=(const Rendering&) = delete;

    cairo_surface_t* Surface() const { return surface_; }
    int Width() const { return cairo_image_surface_get_width(surface_); }
    int Height() const { return cairo_image_surface_get_height(surface_); }
    uint32_t At(int x, int y) const {
        const unsigned char* row = cairo_image_surface_get_data(surface_) + y * cairo_image_surface_get_stride(surface_);
        return reinterpret_cast<const uint32_t*>(row)[x];
    }
    int Alpha(int x, int y) const { return static_cast<int>(At(x, y) >> 24); }
    // Pixels of rc (clipped to the window) that are not fully opaque.
    int SeeThrough(RECT rc) const {
        int n = 0;
        for (int y = std::max(0, rc.top); y < std::min(Height(), rc.bottom); ++y)
            for (int x = std::max(0, rc.left); x < std::min(Width(), rc.right); ++x)
                if (Alpha(x, y) != 255) ++n;
        return n;
    }

private:
    cairo_surface_t* surface_ = nullptr;
};

// Sum of squared steps between neighbouring pixels (all four channels) in
// rc of an image surface: how sharp its edges are.
double EdgeEnergy(cairo_surface_t* s, RECT rc) {
    cairo_surface_flush(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    auto at = [&](int x, int y) { return reinterpret_cast<const uint32_t*>(data + y * stride)[x]; };
    auto step = [](uint32_t a, uint32_t b) {
        double sum = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const double d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
            sum += d * d;
        }
        return sum;
    };
    double energy = 0;
    for (int y = rc.top; y + 1 < rc.bottom; ++y)
        for (int x = rc.left; x + 1 < rc.right; ++x) energy += step(at(x, y), at(x + 1, y)) + step(at(x, y), at(x, y + 1));
    return energy;
}

// Checks every shown label that has text: the pango extent of the text as
// drawn lies inside the label, inside each control that holds it (a list
// scrolls its items, so only across), inside the window, only on opaque
// pixels, and on a card with a picture off the picture. Returns how many
// texts it checked.
int ExpectTextsFit(WindowImplBase& wnd, const std::string& state) {
    RECT client;
    EXPECT_TRUE(GetClientRect(wnd.GetHWND(), &client));
    Rendering shot(wnd);
    // TAVLIN_FIT_SHOTS=DIR keeps every state checked as a picture.
    if (const char* dir = std::getenv("TAVLIN_FIT_SHOTS")) {
        static int shots = 0;
        shot.Save(std::string(dir) + "/" + std::to_string(++shots) + ".png");
    }
    int texts = 0;
    std::vector<std::pair<RECT, std::string>> drawn;
    wnd.GetPaintManager().GetRoot()->ForEach([&](CControlUI& control) {
        auto* label = dynamic_cast<CLabelUI*>(&control);
        if (!label || !label->IsShownOnScreen() || label->GetText().empty()) return;
        ++texts;
        const RECT text = label->GetTextRect();
        drawn.emplace_back(text, Utf8(label->GetText()));
        const std::string what = state + " | " + Utf8(label->GetName()) + " \"" + Utf8(label->GetText()) +
                                 "\" drawn at " + Show(text);
        EXPECT_FALSE(text.Empty()) << what;
        EXPECT_TRUE(Inside(text, label->GetPos())) << what << " outside its control " << Show(label->GetPos());
        for (CControlUI* up = label->GetParent(); up; up = up->GetParent()) {
            RECT outer = up->GetPos();
            if (dynamic_cast<CListUI*>(up)) outer.top = text.top, outer.bottom = text.bottom;
            EXPECT_TRUE(Inside(text, outer)) << what << " outside " << Utf8(up->GetClass()) << " "
                                             << Utf8(up->GetName()) << " " << Show(up->GetPos());
        }
        EXPECT_TRUE(Inside(text, client)) << what << " outside the window";
        EXPECT_EQ(shot.SeeThrough(text), 0) << what << " partly off the card";
    });
    // On a card with a picture, a text lies on the plain card, not on the
    // picture: the card alone (every control hidden) is of one colour
    // under each text.
    CControlUI* root = wnd.GetPaintManager().GetRoot();
    if (auto* layout = dynamic_cast<CContainerUI*>(root); layout && wnd.GetPaintManager().IsLayered()) {
        std::vector<CControlUI*> shown;
        for (int i = 0; i < layout->GetCount(); ++i)
            if (layout->GetItemAt(i)->IsVisible()) shown.push_back(layout->GetItemAt(i));
        for (CControlUI* c : shown) c->SetVisible(false);
        Rendering card(wnd);
        for (const auto& [rc, text] : drawn) {
            int mixed = 0;
            for (int y = std::max(0, rc.top); y < std::min(card.Height(), rc.bottom); ++y)
                for (int x = std::max(0, rc.left); x < std::min(card.Width(), rc.right); ++x)
                    if (!Near(card.At(x, y), card.At(rc.left, rc.top))) ++mixed;
            EXPECT_EQ(mixed, 0) << state << " | \"" << text << "\" over the card's picture at " << Show(rc);
        }
        for (CControlUI* c : shown) c->SetVisible(true);
    }
    return texts;
}

class TextFitTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetOffscreenMode(true); }
    void TearDown() override { unsetenv("LC_ALL"); }
};

struct Language {
    const char* locale;
    const char* name;
};
const Language kLanguages[] = {{"zh_CN.UTF-8", "zh"}, {"en_US.UTF-8", "en"}};

// The progress window through a download: at its own width and, from the
// first retry on, at 360 pixels; every status the two modes can show at
// the percentages, speeds and retry counts whose texts differ in length.
TEST_F(TextFitTest, ProgressWindowStatusInEveryState) {
    const int percents[] = {0, 7, 42, 100};
    const uint32_t speeds[] = {0, 1023, 1048576, 1048577, 4294967295u};
    // The watcher counts 0 to kMaxRetries - 1 and starts again at 0 when
    // the network is back; the window narrows at 1 and stays narrow.
    const uint32_t retrySteps[] = {0, 1, ZipDownloader::kMaxRetries - 1, 0};
    for (const Language& lang : kLanguages) {
        for (bool forced : {false, true}) {
            UseLocale(lang.locale);
            CUpdaterWnd wnd;
            ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
            wnd.params.forcedUpdate = forced ? 1 : 0;
            for (uint32_t retries : retrySteps) {
                wnd.retryCount = retries;
                for (int percent : percents) {
                    for (uint32_t speed : speeds) {
                        wnd.ShowProgress(percent, speed);
                        RECT rc;
                        GetClientRect(wnd.GetHWND(), &rc);
                        std::ostringstream state;
                        state << lang.name << (forced ? " forced " : " ordinary ") << percent << "% " << speed
                              << " B/s, retry " << retries << ", " << rc.Width() << " wide";
                        EXPECT_GE(ExpectTextsFit(wnd, state.str()), 1);
                    }
                }
            }
        }
    }
}

// The version label with short and long versions, the release notes, the
// connecting text of the layout and the completion texts, at both widths.
TEST_F(TextFitTest, ProgressWindowVersionNotesAndCompletion) {
    for (const Language& lang : kLanguages) {
        for (bool narrowed : {false, true}) {
            UseLocale(lang.locale);
            CUpdaterWnd wnd;
            ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
            const std::string where = std::string(lang.name) + (narrowed ? " 360 wide" : " own width");
            if (narrowed) {
                wnd.retryCount = 1;
                wnd.ShowProgress(3, 0);
                wnd.retryCount = 0;
            } else {
                EXPECT_GE(ExpectTextsFit(wnd, where + ", as loaded"), 1);
            }
            if (wnd.version) {
                for (const char* v : {"", "8.6.7", "10.12.345.6789", "2026.12.10-beta.3+build.1210"}) {
                    wnd.version->SetText(zeb_ui::VersionLabelText(v, CUpdaterWnd::kCurrentVersion));
                    ExpectTextsFit(wnd, where + ", version " + v);
                }
            }
            if (wnd.listContainer) {
                wnd.listContainer->EnableScrollBar(true, false);
                for (const std::u16string& line : zeb_ui::SplitReleaseNotes(
                         "修复了若干问题，提升了稳定性和下载速度，并优化了界面显示效果。*Faster downloads on slow "
                         "links*")) {
                    auto* note = new CLabelUI;
                    note->SetAttribute(u"width", u"260");
                    note->SetAttribute(u"multiline", u"true");
                    note->SetAttribute(u"wordbreak", u"true");
                    note->SetFont(2);
                    note->SetText(line);
                    wnd.listContainer->Add(note);
                }
                EXPECT_GE(ExpectTextsFit(wnd, where + ", release notes"), 4);
            }
            wnd.job = std::make_shared<IdleJob>(wnd.params);
            wnd.job->finished = true;
            wnd.ShowProgress(100, 0);
            EXPECT_GE(ExpectTextsFit(wnd, where + ", completed"), 1);
        }
    }
}

// Each prompt the updater shows, with the caption its caller sets, and the
// update-finished window.
TEST_F(TextFitTest, PromptsAndUpdateFinishedWindow) {
    struct Prompt {
        const char16_t* zh;
        const char16_t* en;
        int mode;
        const char16_t* captionZh;
        const char16_t* captionEn;
    };
    const Prompt prompts[] = {
        {u"您的客户端版本太低，将更新至最新版本!",
         u"Your client version is too low. We will update it to the latest version!", 0, nullptr, nullptr},
        {u"升级出问题了,请下载完整安装包~", u"Problems occured. Please visit our website~", 2, u"前往下载",
         u"Go Downloading Page"},
        {u"网络已断开，请检查网络环境后重试~",
         u"The network has been disconnected. Please check the network environment and try again.", 2, u"关闭",
         u"Close"},
        {u"升级出问题了,请下载完整安装包~",
         u"There are some problems in Updating, Please download full installer from website~", 2, u"前往下载",
         u"Go Downloading Page"},
        {u"新版本将在下次启动时更新，您也可以立即安装！", u"Update now or next time.", 1, nullptr, nullptr},
    };
    for (const Language& lang : kLanguages) {
        UseLocale(lang.locale);
        const bool zh = lang.name == std::string("zh");
        for (const Prompt& p : prompts) {
            CTipsBoxWnd box(nullptr, zh ? p.zh : p.en, p.mode);
            ASSERT_NE(box.GetHWND(), nullptr) << box.GetLoadError();
            ASSERT_NE(box.confirmButton, nullptr);
            if (p.captionZh) box.confirmButton->SetText(zh ? p.captionZh : p.captionEn);
            const std::string state = std::string(lang.name) + " prompt \"" + Utf8(box.text) + "\"";
            EXPECT_GE(ExpectTextsFit(box, state), 3);
            // The caption's button stays in the box and clear of the cancel
            // button beside it.
            RECT client, confirm, cancel;
            GetClientRect(box.GetHWND(), &client);
            ASSERT_TRUE(platform::GetRegionRect(box.GetHWND(), u"confirmButton", &confirm));
            EXPECT_TRUE(Inside(confirm, client)) << state << " " << Show(confirm);
            if (platform::GetRegionRect(box.GetHWND(), u"cancelButton", &cancel)) {
                EXPECT_LE(cancel.right, confirm.left) << state;
            }
        }
        CLaunchWnd launch;
        ASSERT_NE(launch.GetHWND(), nullptr) << launch.GetLoadError();
        EXPECT_GE(ExpectTextsFit(launch, std::string(lang.name) + " update-finished window"), 2);
    }
}

// The faults the check is there for: a caption on a button too narrow for
// it, and a text on the shadow, are reported.
TEST_F(TextFitTest, TheCheckSeesACutCaptionAndTextOnTheShadow) {
    UseLocale("en_US.UTF-8");
    CTipsBoxWnd box(nullptr, u"x", 2);
    ASSERT_NE(box.confirmButton, nullptr);
    box.confirmButton->SetAutoCalcWidth(false);
    box.confirmButton->SetText(u"Go Downloading Page");
    RECT button;
    ASSERT_TRUE(platform::GetRegionRect(box.GetHWND(), u"confirmButton", &button));  // lays the box out
    EXPECT_EQ(button.Width(), 72);
    const RECT text = box.confirmButton->GetTextRect();
    EXPECT_GT(text.Width(), button.Width()) << Show(text);
    EXPECT_FALSE(Inside(text, button)) << Show(text);

    UseLocale("zh_CN.UTF-8");
    CUpdaterWnd wnd;
    ASSERT_NE(wnd.tipsLabel, nullptr);
    wnd.tipsLabel->SetAttribute(u"valign", u"bottom");
    wnd.tipsLabel->SetFixedHeight(60);
    RECT label;
    ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"tipsLabel", &label));
    Rendering shot(wnd);
    EXPECT_GT(shot.SeeThrough(wnd.tipsLabel->GetTextRect()), 0) << Show(label);
}

// After the first retry the Chinese window is 360 pixels wide: its card
// keeps its rounded ends and its picture unsqueezed (the same pixels as at
// 442, moved with the right edge), and the bar stays on the card at its
// height.
TEST_F(TextFitTest, NarrowedWindowKeepsCardAndBarInProportion) {
    UseLocale("zh_CN.UTF-8");
    CUpdaterWnd wnd;
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    // Without the texts that reach into the picture's corner: the pixels
    // compared are the card's own.
    wnd.title->SetText(u"");
    wnd.version->SetText(u"");
    wnd.ShowProgress(100, 0);
    Rendering wide(wnd);
    // The picture (0.75 MB decoded) is kept only as drawn at the card's
    // size; the narrower card decodes it again.
    EXPECT_LT(wnd.GetPaintManager().HeldImageBytes(), 512u << 10);
    wnd.retryCount = 1;
    wnd.ShowProgress(100, 0);
    Rendering narrow(wnd);
    EXPECT_LT(wnd.GetPaintManager().HeldImageBytes(), 512u << 10);
    ASSERT_EQ(wide.Width(), 442);
    ASSERT_EQ(narrow.Width(), 360);
    ASSERT_EQ(narrow.Height(), wide.Height());
    const int shift = wide.Width() - narrow.Width();

    auto differing = [&](int x0, int x1, int y0, int y1) {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (!Near(wide.At(x + shift, y), narrow.At(x, y))) ++n;
        return n;
    };
    // The picture in the upper right corner and the right edge of the
    // card, top to bottom.
    EXPECT_EQ(differing(narrow.Width() - 170, narrow.Width(), 0, 150), 0);
    EXPECT_EQ(differing(narrow.Width() - 40, narrow.Width(), 0, narrow.Height()), 0);
    // The left edge stays where it was.
    int leftDiffers = 0;
    for (int y = 0; y < narrow.Height(); ++y)
        for (int x = 0; x < 40; ++x)
            if (!Near(wide.At(x, y), narrow.At(x, y))) ++leftDiffers;
    EXPECT_EQ(leftDiffers, 0);

    // The shadow margin is as wide on both sides at both widths.
    auto cardEdges = [](const Rendering& r, int y) {
        int left = 0, right = r.Width() - 1;
        while (left < r.Width() && r.Alpha(left, y) != 255) ++left;
        while (right >= 0 && r.Alpha(right, y) != 255) --right;
        return std::pair{left, right};
    };
    const auto [wideLeft, wideRight] = cardEdges(wide, 200);
    const auto [narrowLeft, narrowRight] = cardEdges(narrow, 200);
    EXPECT_EQ(narrowLeft, wideLeft);
    EXPECT_EQ(narrowRight + shift, wideRight);

    // The bar, full at 100 %: the box of its orange pixels below the
    // picture, which has the same orange.
    auto barBox = [](const Rendering& r) {
        RECT box{r.Width(), r.Height(), 0, 0};
        for (int y = 250; y < r.Height(); ++y)
            for (int x = 0; x < r.Width(); ++x)
                if (r.At(x, y) == 0xFFFF6C00u) {
                    box.left = std::min(box.left, x);
                    box.top = std::min(box.top, y);
                    box.right = std::max(box.right, x + 1);
                    box.bottom = std::max(box.bottom, y + 1);
                }
        return box;
    };
    const RECT wideBar = barBox(wide);
    const RECT narrowBar = barBox(narrow);
    EXPECT_EQ(wideBar.Width(), 318) << Show(wideBar);
    EXPECT_EQ(wideBar.Height(), 4) << Show(wideBar);
    EXPECT_EQ(narrowBar.Height(), wideBar.Height()) << Show(narrowBar);
    EXPECT_EQ(narrowBar.top, wideBar.top);
    EXPECT_EQ(narrowBar.left, wideBar.left);
    // On the card, as far from its right edge as at full width.
    EXPECT_EQ(narrow.SeeThrough(narrowBar), 0) << Show(narrowBar);
    EXPECT_EQ(narrowRight - narrowBar.right, wideRight - wideBar.right) << Show(narrowBar);
}

// On a high-resolution screen the card is drawn from its source at twice
// the layout's pixels, also when the window was drawn at its own size
// before: its edges are sharper than the layout-sized picture enlarged.
TEST_F(TextFitTest, CardIsDrawnAtTheScreensResolution) {
    UseLocale("zh_CN.UTF-8");
    CUpdaterWnd wnd;
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    Rendering once(wnd, 1);
    Rendering twice(wnd, 2);
    ASSERT_EQ(twice.Width(), 2 * once.Width());
    cairo_surface_t* enlarged = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, twice.Width(), twice.Height());
    cairo_t* cr = cairo_create(enlarged);
    cairo_scale(cr, 2, 2);
    cairo_set_source_surface(cr, once.Surface(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
    cairo_destroy(cr);
    // The picture in the card's upper right corner, in device pixels.
    const RECT picture{twice.Width() - 2 * 170, 0, twice.Width(), 2 * 150};
    const double sharp = EdgeEnergy(twice.Surface(), picture);
    const double blurred = EdgeEnergy(enlarged, picture);
    cairo_surface_destroy(enlarged);
    EXPECT_GT(sharp, 1.4 * blurred) << sharp << " against " << blurred;
}

// The progress window's tick redraws only what changed: the status line
// and the bar, unless the status needs another line; what the window then
// shows is what a full drawing shows.
class PaintRecorder : public CUpdaterWnd {
public:
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg != WM_PAINT) return CUpdaterWnd::HandleMessage(msg, wParam, lParam);
        platform::PaintStruct ps;
        if (cairo_t* cr = platform::BeginPaint(m_hWnd, &ps)) {
            painted.push_back(ps.rcPaint);
            GetPaintManager().Render(cr);
            platform::EndPaint(m_hWnd, &ps);
        }
        return 0;
    }
    std::vector<RECT> painted;
};

TEST_F(TextFitTest, TickRedrawsOnlyWhatChanged) {
    UseLocale("zh_CN.UTF-8");
    PaintRecorder wnd;
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    wnd.ShowWindow(true, false);
    platform::UpdateWindow(wnd.GetHWND());
    auto sameAsFullDrawing = [&] {
        Rendering full(wnd);
        cairo_surface_t* shown = platform::GetWindowSurface(wnd.GetHWND());
        cairo_surface_flush(shown);
        int differ = 0;
        for (int y = 0; y < full.Height(); ++y)
            for (int x = 0; x < full.Width(); ++x) {
                const uint32_t p = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(shown) +
                                                                     y * cairo_image_surface_get_stride(shown))[x];
                if (p != full.At(x, y)) ++differ;
            }
        return differ;
    };
    struct Tick {
        int percent;
        uint32_t speed, retries;
        bool whole;  // the layout changes: the whole window is drawn
    };
    const Tick ticks[] = {
        {10, 100, 0, false},
        {11, 2048, 0, false},
        {100, 4294967295u, 0, false},
        {5, 0, 1, true},  // 360 pixels wide
        {6, 0, 1, false},
        {7, 4294967295u, 9, true},  // the status on two lines
        {8, 4294967295u, 9, false},
        {9, 0, 0, true},  // back on one line
    };
    for (const Tick& t : ticks) {
        wnd.painted.clear();
        wnd.retryCount = t.retries;
        wnd.ShowProgress(t.percent, t.speed);
        platform::UpdateWindow(wnd.GetHWND());
        ASSERT_EQ(wnd.painted.size(), 1u) << t.percent;
        RECT client;
        GetClientRect(wnd.GetHWND(), &client);
        const RECT label = wnd.tipsLabel->GetPos(), bar = wnd.downloadProgress->GetPos();
        const RECT changed{std::min(label.left, bar.left), std::min(label.top, bar.top),
                           std::max(label.right, bar.right), std::max(label.bottom, bar.bottom)};
        if (t.whole) {
            EXPECT_EQ(wnd.painted[0], client) << t.percent;
        } else {
            EXPECT_TRUE(Inside(wnd.painted[0], changed)) << t.percent << " " << Show(wnd.painted[0]);
        }
        EXPECT_EQ(sameAsFullDrawing(), 0) << t.percent;
    }
}

}  // namespace
