// Skin images on a high-resolution surface (two device pixels per layout
// pixel): drawn from their "@2x" twins, so an edge stays as sharp as the
// source draws it, with corners and sizes still in layout pixels; at scale 1
// the plain images, 1:1.
#include <cmath>
#include <cstring>
#include <string>

#include "child_process.h"
#include "platform/window/automation.h"
#include "temp_dir.h"
#include "ui_test_util.h"
#include "zip_builder.h"

namespace tavlin_ui_test {
namespace {

constexpr int kTestSkinId = 778;

// An owned ARGB image with pixel access (premultiplied 0xAARRGGBB).
struct Image {
    cairo_surface_t* s = nullptr;
    explicit Image(cairo_surface_t* surface) : s(surface) { cairo_surface_flush(s); }
    ~Image() { cairo_surface_destroy(s); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    int Width() const { return cairo_image_surface_get_width(s); }
    int Height() const { return cairo_image_surface_get_height(s); }
    uint32_t At(int x, int y) const {
        return reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                 y * cairo_image_surface_get_stride(s))[x];
    }
};

// The whole window drawn as the window system draws it at `scale`.
Image Render(WindowImplBase& wnd, double scale) {
    RECT client;
    GetClientRect(wnd.GetHWND(), &client);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(client.Width() * scale)),
                                                    static_cast<int>(std::ceil(client.Height() * scale)));
    cairo_surface_set_device_scale(s, scale, scale);
    cairo_t* cr = cairo_create(s);
    wnd.GetPaintManager().Render(cr);
    cairo_destroy(cr);
    return Image(s);
}

// The largest difference of one channel between the rendered block at
// (left, top) device pixels and the source image.
int MaxDifference(const Image& rendered, int left, int top, const Image& source) {
    int worst = 0;
    for (int y = 0; y < source.Height(); ++y)
        for (int x = 0; x < source.Width(); ++x) {
            const uint32_t a = rendered.At(left + x, top + y), b = source.At(x, y);
            for (int shift : {0, 8, 16, 24})
                worst = std::max(worst, std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)));
        }
    return worst;
}

class HiResImageTest : public UiTest {};

// The prompt's close button, hot (an opaque blue square with a white cross,
// 14 x 14 layout pixels): at scale 2 the window shows btn_close_h@2x.png
// pixel for pixel, at scale 1 btn_close_h.png. An enlarged 14 x 14 image
// would blur the cross's edges and differ from the twin.
TEST_F(HiResImageTest, PromptButtonAtScaleTwoIsItsTwinPixelForPixel) {
    for (const char* locale : {"zh_CN.UTF-8", "en_US.UTF-8"}) {
        SCOPED_TRACE(locale);
        UseLocale(locale);
        CTipsBoxWnd wnd(nullptr, u"text", 1);
        ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
        RECT close;
        ASSERT_TRUE(platform::GetRegionRect(wnd.GetHWND(), u"closeButton", &close));
        ASSERT_EQ(close.Width(), 14);
        platform::SendMessageW(wnd.GetHWND(), WM_MOUSEMOVE, 0, MakeLParam(close.left + 7, close.top + 7));
        const std::u16string name = std::string(locale).starts_with("zh") ? u"btn_close_h" : u"btn_close_h_en";
        CPaintManagerUI& pm = wnd.GetPaintManager();
        for (int scale : {1, 2}) {
            SCOPED_TRACE(scale);
            cairo_surface_t* file = pm.GetImage(name + (scale == 2 ? u"@2x.png" : u".png"));
            ASSERT_NE(file, nullptr) << "not in the skin";
            ASSERT_EQ(cairo_image_surface_get_width(file), 14 * scale);
            const Image source(cairo_surface_reference(file));
            const Image shown = Render(wnd, scale);
            EXPECT_LE(MaxDifference(shown, close.left * scale, close.top * scale, source), 1);
        }
    }
}

// A skin of the test's own: a 9-slice background (corner='3,3,3,3') whose
// 1x image has a one-pixel red frame line at x = 1 and whose twin has it two
// device pixels wide at x = 2..3, and a picture without a twin.
class TestSkinWnd : public WindowImplBase {
public:
    TestSkinWnd() { Create(nullptr, u"skin", WS_OVERLAPPEDWINDOW, 0); }
    std::u16string_view GetWindowClassName() const override { return u"tavlin_hires_test"; }
    std::u16string GetSkinFolder() override { return u""; }
    std::u16string GetSkinFile() override { return u"Card.xml"; }
    UILIB_RESOURCETYPE GetResourceType() const override { return UILIB_ZIPRESOURCE; }
    int GetResourceID() const override { return kTestSkinId; }
};

// size x size layout pixels at `scale`: white, a red vertical line one layout
// pixel wide at x = 1, crisp at any scale.
std::string FramePng(int size, int scale) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size * scale, size * scale);
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 1, 0, 0);
    cairo_rectangle(cr, scale, 0, scale, size * scale);
    cairo_fill(cr);
    cairo_destroy(cr);
    std::string png;
    cairo_surface_write_to_png_stream(
        s,
        [](void* out, const unsigned char* data, unsigned length) {
            static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
            return CAIRO_STATUS_SUCCESS;
        },
        &png);
    cairo_surface_destroy(s);
    return png;
}

TEST_F(HiResImageTest, NineSliceCornersStayInLayoutPixelsAndAnImageWithoutTwinStillShows) {
    auto entry = [](std::string name, std::string data) {
        tavlin_test::ZipEntry e;
        e.name = std::move(name);
        e.data = std::move(data);
        return e;
    };
    tavlin_test::TempDir dir("tavlin-hires-");
    tavlin_test::WriteZip(dir / "skin.zip", {
        entry("Card.xml", R"(<Window size="60,40"><VerticalLayout>)"
                          R"(<Control name="card" bkimage="file='frame.png' corner='3,3,3,3'" height="10"/>)"
                          R"(<Control name="solo" bkimage="solo.png" width="10" height="10"/>)"
                          R"(</VerticalLayout></Window>)"),
        entry("frame.png", FramePng(10, 1)),
        entry("frame@2x.png", FramePng(10, 2)),
        entry("solo.png", FramePng(10, 1)),
    });
    const std::string bytes = tavlin_test::ReadFileText(dir / "skin.zip");
    ASSERT_FALSE(bytes.empty());
    RegisterResource(kZipResourceType, kTestSkinId, bytes.data(), bytes.size());
    struct Unregister {
        ~Unregister() { RegisterResource(kZipResourceType, kTestSkinId, nullptr, 0); }
    } unregister;

    TestSkinWnd wnd;
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    const uint32_t red = 0xFFFF0000, white = 0xFFFFFFFF;
    // The card (60 x 10 layout pixels, stretched across only) keeps its
    // 3-pixel left corner 1:1, so the line sits at layout x = 1 in both
    // scales: one device pixel wide at 1, two at 2.
    const Image one = Render(wnd, 1);
    EXPECT_EQ(one.At(0, 5), white);
    EXPECT_EQ(one.At(1, 5), red);
    EXPECT_EQ(one.At(2, 5), white);
    const Image two = Render(wnd, 2);
    const uint32_t row[] = {white, white, red, red, white, white};
    for (int x = 0; x < 6; ++x) EXPECT_EQ(two.At(x, 10), row[x]) << "device x " << x;
    // The right corner too: the image's 3 layout pixels, line-free.
    for (int x = 114; x < 120; ++x) EXPECT_EQ(two.At(x, 10), white) << "device x " << x;
    // Without a twin the 1x image is enlarged: still there.
    bool reddish = false;
    for (int x = 1; x <= 4; ++x) reddish = reddish || (two.At(x, 30) & 0xFFFF) < 0xC0C0;
    EXPECT_TRUE(reddish) << "the image without a twin was not drawn";
    EXPECT_EQ(two.At(12, 30), white);
}

}  // namespace
}  // namespace tavlin_ui_test

namespace tavlin_ui_test {
namespace {

// The progress window's card is opaque across its whole width at every
// scale the desktop can ask for, also where the 9-slice background's
// slices meet between two device pixels.
TEST_F(HiResImageTest, ProgressCardOpaqueAcrossAtEveryScale) {
    UseChinese();
    PreviewWnd wnd(u"UpdaterWnd.xml");
    ASSERT_NE(wnd.GetHWND(), nullptr) << wnd.GetLoadError();
    for (double scale : {1.0, 1.25, 1.5, 1.75, 2.0, 3.0}) {
        SCOPED_TRACE(scale);
        const Image shown = Render(wnd, scale);
        // A row through the middle of the card, 24 layout pixels inside
        // its edges (the card spans 20..422 of 442).
        const int y = static_cast<int>(300 * scale);
        int translucent = 0, first = -1;
        for (int x = static_cast<int>(std::ceil(24 * scale)); x < static_cast<int>(418 * scale); ++x)
            if ((shown.At(x, y) >> 24) != 0xFF) {
                ++translucent;
                if (first < 0) first = x;
            }
        EXPECT_EQ(translucent, 0) << "first at device x " << first;
    }
}

}  // namespace
}  // namespace tavlin_ui_test
