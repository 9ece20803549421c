// The message box answered from another thread (off-screen).
#include <cstdlib>
#include <functional>
#include <iterator>

#include "platform/window/automation.h"
#include "platform/window/message_box.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

constexpr char16_t kCaption[] = u"Prompt";
constexpr char16_t kText[] = u"Another program is already in progress, start new one?";

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetOffscreenMode(true);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        setenv("LANG", "en_US.UTF-8", 1);
    }
};

// Shows a box on a worker thread, hands it to `act` once it is up and
// returns the box's answer.
int Answer(unsigned type, const std::function<void(Hwnd)>& act, Hwnd owner = nullptr,
           std::u16string_view text = kText) {
    auto result = std::async(std::launch::async, [&] { return MessageBoxW(owner, text, kCaption, type); });
    Hwnd box = WaitForWindow(u"#32770", kCaption, 5000);
    EXPECT_NE(box, nullptr);
    if (!box) std::_Exit(1);
    EXPECT_TRUE(PumpUntil([&] { return IsModalRunning(box); }));
    act(box);
    int r = GetWithin(result, 5000, "message box answer");
    EXPECT_FALSE(IsWindow(box));
    return r;
}

TEST_F(MessageBoxTest, AnswersByKeyClickAndClose) {
    struct Case {
        const char* name;
        unsigned type;
        std::function<void(Hwnd)> act;
        int expected;
    };
    auto key = [](unsigned vk) { return [vk](Hwnd b) { SendKey(b, vk); }; };
    auto click = [](const char16_t* name) { return [name](Hwnd b) { EXPECT_TRUE(ClickRegion(b, name)); }; };
    const Case cases[] = {
        {"Enter", MB_OKCANCEL, key(VK_RETURN), IDOK},
        {"Space", MB_OKCANCEL, key(VK_SPACE), IDOK},
        {"Escape", MB_OKCANCEL, key(VK_ESCAPE), IDCANCEL},
        {"Tab then Enter", MB_OKCANCEL, [](Hwnd b) { SendKey(b, VK_TAB); SendKey(b, VK_RETURN); }, IDCANCEL},
        {"click OK", MB_OKCANCEL, click(u"OK"), IDOK},
        {"click Cancel", MB_OKCANCEL, click(u"Cancel"), IDCANCEL},
        {"close", MB_OKCANCEL, [](Hwnd b) { EXPECT_TRUE(RequestClose(b)); }, IDCANCEL},
        {"MB_OK Enter", MB_OK, key(VK_RETURN), IDOK},
        {"MB_OK Escape", MB_OK, key(VK_ESCAPE), IDOK},
        {"MB_OK close", MB_OK, [](Hwnd b) { EXPECT_TRUE(RequestClose(b)); }, IDOK},
        // A press dragged off its button answers nothing; Escape then does.
        {"press Cancel, release on OK", MB_OKCANCEL,
         [](Hwnd b) {
             Rect ok, cancel;
             ASSERT_TRUE(GetRegionRect(b, u"OK", &ok));
             ASSERT_TRUE(GetRegionRect(b, u"Cancel", &cancel));
             PostMessageW(b, WM_LBUTTONDOWN, MK_LBUTTON, MakeLParam(cancel.left + 5, cancel.top + 5));
             PostMessageW(b, WM_LBUTTONUP, 0, MakeLParam(ok.left + 5, ok.top + 5));
             PostMessageW(b, WM_KEYDOWN, VK_ESCAPE, 0);
         },
         IDCANCEL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Answer(c.type, c.act), c.expected);
    }
}

TEST_F(MessageBoxTest, MbOkHasNoCancelButton) {
    Answer(MB_OK, [](Hwnd b) {
        Rect r;
        EXPECT_TRUE(GetRegionRect(b, u"OK", &r));
        EXPECT_FALSE(GetRegionRect(b, u"Cancel", &r));
        SendKey(b, VK_RETURN);
    });
}

TEST_F(MessageBoxTest, ButtonCaptionsFollowTheInterfaceLanguage) {
    struct Case {
        const char* lang;
        const char16_t* ok;
        const char16_t* cancel;
        const char16_t* absent;
    };
    // "OK" and "Cancel" also name the buttons for automation in any
    // language, so only the Chinese captions can be missing.
    for (const Case& c : {Case{"zh_CN.UTF-8", u"确定", u"取消", nullptr},
                          Case{"zh_TW.UTF-8", u"OK", u"Cancel", u"取消"},
                          Case{"en_US.UTF-8", u"OK", u"Cancel", u"确定"}}) {
        SCOPED_TRACE(c.lang);
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(Answer(MB_OKCANCEL, [&](Hwnd b) {
                      Rect r;
                      if (c.absent) {
                          EXPECT_FALSE(GetRegionRect(b, c.absent, &r));
                      }
                      EXPECT_TRUE(GetRegionRect(b, c.ok, &r));
                      EXPECT_TRUE(ClickRegion(b, c.cancel));
                  }),
                  IDCANCEL);
    }
}

TEST_F(MessageBoxTest, BoxIsATitledDialogCentredOnTheScreenAndSizedToItsText) {
    Rect shortBox, longBox;
    Answer(MB_OKCANCEL, [&](Hwnd b) {
        EXPECT_EQ(GetWindowTextW(b), kCaption);
        EXPECT_TRUE(IsWindowVisible(b));
        GetWindowRect(b, &shortBox);
        SendKey(b, VK_RETURN);
    }, nullptr, u"Short");
    std::u16string text;
    for (int i = 0; i < 40; ++i) text += u"many words ";
    Answer(MB_OKCANCEL, [&](Hwnd b) {
        GetWindowRect(b, &longBox);
        SendKey(b, VK_RETURN);
    }, nullptr, text);

    Rect screen = GetScreenRect();
    for (const Rect& r : {shortBox, longBox}) {
        EXPECT_LE(std::abs((r.left + r.right) - (screen.left + screen.right)), 1);
        EXPECT_LE(std::abs((r.top + r.bottom) - (screen.top + screen.bottom)), 1);
    }
    // Long text wraps: a wider box, but bounded, and taller.
    EXPECT_GT(longBox.Width(), shortBox.Width());
    EXPECT_LT(longBox.Width(), 520);
    EXPECT_GT(longBox.Height(), shortBox.Height() + 40);
}

TEST_F(MessageBoxTest, HugeOrOddTextStillGivesABoxThatFitsTheScreen) {
    std::u16string huge;
    for (int i = 0; i < 3000; ++i) huge += u"word ";
    std::u16string unbroken(5000, u'W');
    const char16_t oddText[] = u"line one\nline two\r\n\xD800 unpaired, and a NUL \0 inside";
    const std::u16string odd(oddText, std::size(oddText) - 1);
    Rect screen = GetScreenRect();
    for (const std::u16string& text : {huge, unbroken, odd, std::u16string()}) {
        Rect r;
        EXPECT_EQ(Answer(MB_OKCANCEL, [&](Hwnd b) {
                      GetWindowRect(b, &r);
                      SendKey(b, VK_ESCAPE);
                  }, nullptr, text),
                  IDCANCEL);
        EXPECT_LE(r.Height(), screen.Height());
        EXPECT_LE(r.Width(), screen.Width());
        EXPECT_GT(r.Height(), 50);
    }
}

TEST_F(MessageBoxTest, OwnerIsDisabledWhileTheBoxIsUp) {
    Handler h;
    Hwnd owner = MakeWindow(&h, u"owner");
    // The owner lives on this thread; the box runs on the worker and
    // disables it from there.
    auto result = std::async(std::launch::async, [&] { return MessageBoxW(owner, u"q", kCaption, MB_OKCANCEL); });
    Hwnd box = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (box = FindWindowW(u"#32770", kCaption)) && IsModalRunning(box); }));
    ASSERT_TRUE(PumpUntil([&] { return !IsWindowEnabled(owner); }));
    EXPECT_EQ(GetWindowOwner(box), owner);
    SendKey(box, VK_ESCAPE);
    // Re-enabling the owner is a message to this thread: keep pumping.
    ASSERT_TRUE(PumpUntil([&] { return result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(result.get(), IDCANCEL);
    EXPECT_TRUE(IsWindowEnabled(owner));
    DestroyWindow(owner);
}

}  // namespace
}  // namespace tavlin_window_test
