// Queues, sent messages across threads, timers and quitting (off-screen).
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/window/automation.h"
#include "window_test_util.h"

namespace tavlin_window_test {
namespace {

constexpr unsigned kPosted = WM_USER + 1;
constexpr unsigned kSent = WM_USER + 2;
constexpr unsigned kPing = WM_USER + 3;
constexpr unsigned kPong = WM_USER + 4;
constexpr unsigned kStart = WM_USER + 5;
constexpr unsigned kHold = WM_USER + 6;

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override { SetOffscreenMode(true); }
};

// The user messages a window received, in order, readable from any thread.
struct Log {
    std::mutex m;
    std::vector<unsigned> seen;
    void Add(unsigned msg) {
        std::lock_guard<std::mutex> l(m);
        seen.push_back(msg);
    }
    std::vector<unsigned> Get() {
        std::lock_guard<std::mutex> l(m);
        return seen;
    }
};

TEST_F(QueueTest, SendOnTheSameThreadRunsAtOncePostWaitsForTheLoop) {
    Log log;
    Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg >= WM_USER) log.Add(msg);
        return msg == kSent ? std::optional<LRESULT>(5) : std::nullopt;
    };
    Hwnd w = MakeWindow(&h);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(PostMessageW(w, kPosted, 0, 0));
    EXPECT_EQ(SendMessageW(w, kSent, 0, 0), 5);
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{kSent}));
    ASSERT_TRUE(PumpUntil([&] { return log.Get().size() == 2; }));
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{kSent, kPosted}));
    DestroyWindow(w);
}

TEST_F(QueueTest, ThreadWaitingOnItsOwnSendStillServesSentButNotPostedMessages) {
    // B's handler sends to C and waits there; C holds until told. Meanwhile
    // this thread posts and then sends to B: the send is answered while B
    // waits, the post only once B is back in its loop.
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    std::atomic<bool> cHolding{false};
    LoopThread c([&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != kHold) return std::nullopt;
        cHolding = true;
        released.wait();
        return 1;
    });
    Log log;
    Hwnd cWnd = c.hwnd();
    LoopThread b([&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == kStart) return SendMessageW(cWnd, kHold, 0, 0);
        if (msg >= WM_USER) log.Add(msg);
        return msg == kSent ? std::optional<LRESULT>(9) : std::nullopt;
    });
    ASSERT_TRUE(PostMessageW(b.hwnd(), kStart, 0, 0));
    ASSERT_TRUE(PumpUntil([&] { return cHolding.load(); }));

    ASSERT_TRUE(PostMessageW(b.hwnd(), kPosted, 0, 0));
    auto sent = std::async(std::launch::async, [&] { return SendMessageW(b.hwnd(), kSent, 0, 0); });
    EXPECT_EQ(GetWithin(sent, 5000, "send to a thread that is itself sending"), 9);
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{kSent}));

    go.set_value();
    ASSERT_TRUE(PumpUntil([&] { return log.Get().size() == 2; }));
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{kSent, kPosted}));
}

TEST_F(QueueTest, CrossThreadSendReturnsTheResultOnlyAfterTheHandlerRan) {
    std::atomic<bool> handled{false};
    std::atomic<ThreadId> handledOn{0};
    LoopThread t([&](Hwnd, unsigned msg, WPARAM w, LPARAM l) -> std::optional<LRESULT> {
        if (msg != kSent) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        handledOn = GetCurrentThreadId();
        handled = true;
        return static_cast<LRESULT>(w) + l;
    });
    auto r = std::async(std::launch::async, [&] { return SendMessageW(t.hwnd(), kSent, 40, 2); });
    EXPECT_EQ(GetWithin(r, 5000, "cross-thread send"), 42);
    EXPECT_TRUE(handled.load());
    EXPECT_EQ(handledOn.load(), t.id());
}

TEST_F(QueueTest, ThreadsSendingToEachOtherDoNotDeadlock) {
    // Nested: A sends Ping to B, whose handler sends Pong back to A.
    // Crossed: A and B each send Pong to the other at the same moment.
    std::atomic<Hwnd> aWnd{nullptr}, bWnd{nullptr};
    std::promise<LRESULT> aDone, bDone;
    Handler common = [&](Hwnd self, unsigned msg, WPARAM w, LPARAM) -> std::optional<LRESULT> {
        Hwnd other = self == aWnd.load() ? bWnd.load() : aWnd.load();
        switch (msg) {
        case kPing: return SendMessageW(other, kPong, 0, 0) + 1;
        case kPong: return 100;
        case kStart: {
            LRESULT r = SendMessageW(other, static_cast<unsigned>(w), 0, 0);
            (self == aWnd.load() ? aDone : bDone).set_value(r);
            return 0;
        }
        default: return std::nullopt;
        }
    };
    LoopThread a(common);
    LoopThread b(common);
    aWnd = a.hwnd();
    bWnd = b.hwnd();

    ASSERT_TRUE(PostMessageW(a.hwnd(), kStart, kPing, 0));
    auto nested = aDone.get_future();
    EXPECT_EQ(GetWithin(nested, 5000, "nested send"), 101);

    aDone = std::promise<LRESULT>();
    auto crossedA = aDone.get_future();
    auto crossedB = bDone.get_future();
    ASSERT_TRUE(PostMessageW(a.hwnd(), kStart, kPong, 0));
    ASSERT_TRUE(PostMessageW(b.hwnd(), kStart, kPong, 0));
    EXPECT_EQ(GetWithin(crossedA, 5000, "crossed send (A)"), 100);
    EXPECT_EQ(GetWithin(crossedB, 5000, "crossed send (B)"), 100);
}

TEST_F(QueueTest, SenderIsReleasedWhenTheTargetNeverAnswers) {
    // A thread that stops pumping: the timed send gives up.
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    std::promise<Hwnd> made;
    std::thread busy([&] {
        Handler h;
        Hwnd w = MakeWindow(&h);
        made.set_value(w);
        released.wait();
    });
    auto madeF = made.get_future();
    Hwnd w = GetWithin(madeF, 5000, "window");
    ASSERT_NE(w, nullptr);
    LRESULT r = -1;
    EXPECT_FALSE(SendMessageTimeoutW(w, kSent, 0, 0, 100, &r));

    // A plain send waiting on it is released with 0 when the thread ends.
    auto pending = std::async(std::launch::async, [&] { return SendMessageW(w, kSent, 0, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    go.set_value();
    busy.join();
    EXPECT_EQ(GetWithin(pending, 5000, "send to an ended thread"), 0);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(PostMessageW(w, kPosted, 0, 0));
}

TEST_F(QueueTest, PostQuitMessageEndsGetMessageAfterThePostedMessages) {
    Log log;
    Handler h = [&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg >= WM_USER) log.Add(msg);
        return std::nullopt;
    };
    Hwnd w = MakeWindow(&h);
    ASSERT_TRUE(PostMessageW(w, kPosted, 0, 0));
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageW(w, kSent, 0, 0));
    EXPECT_EQ(RunMessageLoop(), 7);
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{kPosted, kSent}));
    // The quit is consumed: the queue is empty again.
    Msg m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, PM_REMOVE));
    DestroyWindow(w);
}

TEST_F(QueueTest, PostThreadMessageReachesTheLoopWithoutAWindow) {
    std::atomic<int> got{0};
    std::promise<ThreadId> ready;
    std::thread t([&] {
        ready.set_value(GetCurrentThreadId());
        Msg m;
        while (GetMessageW(&m))
            if (m.message == kPosted && m.hwnd == nullptr) got = static_cast<int>(m.wParam);
    });
    auto readyF = ready.get_future();
    ThreadId id = GetWithin(readyF, 5000, "thread");
    ASSERT_TRUE(PostThreadMessageW(id, kPosted, 33, 0));
    ASSERT_TRUE(PostThreadMessageW(id, WM_QUIT, 0, 0));
    t.join();
    EXPECT_EQ(got.load(), 33);
    EXPECT_FALSE(PostThreadMessageW(id, kPosted, 0, 0));
}

TEST_F(QueueTest, TimerTicksUntilKilled) {
    std::atomic<int> ticks{0}, other{0};
    Handler h = [&](Hwnd, unsigned msg, WPARAM id, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_TIMER) return std::nullopt;
        (id == 1 ? ticks : other)++;
        return 0;
    };
    Hwnd w = MakeWindow(&h);
    ASSERT_EQ(SetTimer(w, 1, 10), 1u);
    ASSERT_NE(SetTimer(w, 2, 10), 0u);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));

    ASSERT_TRUE(KillTimer(w, 1));
    EXPECT_FALSE(KillTimer(w, 1));
    int atKill = ticks;
    int otherAtKill = other;
    // The other timer keeps ticking and shows that time passed.
    ASSERT_TRUE(PumpUntil([&] { return other >= otherAtKill + 5; }));
    EXPECT_EQ(ticks.load(), atKill);
    DestroyWindow(w);
    EXPECT_FALSE(KillTimer(w, 2));
}

TEST_F(QueueTest, TimerSetFromAnotherThreadTicksOnTheWindowsThread) {
    std::atomic<int> ticks{0};
    std::atomic<ThreadId> tickedOn{0};
    LoopThread t([&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg != WM_TIMER) return std::nullopt;
        tickedOn = GetCurrentThreadId();
        ++ticks;
        return 0;
    });
    ASSERT_NE(SetTimer(t.hwnd(), 5, 10), 0u);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));
    EXPECT_EQ(tickedOn.load(), t.id());
    EXPECT_TRUE(KillTimer(t.hwnd(), 5));
}

TEST_F(QueueTest, DestroyFromAnotherThreadRunsOnTheOwningThread) {
    std::atomic<ThreadId> destroyedOn{0};
    std::atomic<int> destroys{0};
    LoopThread t([&](Hwnd, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_DESTROY) {
            destroyedOn = GetCurrentThreadId();
            ++destroys;
        }
        return std::nullopt;
    });
    Hwnd w = t.hwnd();
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_EQ(destroyedOn.load(), t.id());
    EXPECT_FALSE(IsWindow(w));
    // A stale handle fails cleanly everywhere.
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(SendMessageW(w, kSent, 0, 0), 0);
    EXPECT_EQ(SetTimer(w, 1, 10), 0u);
    EXPECT_EQ(GetWindowTextW(w), u"");
    EXPECT_EQ(destroys.load(), 1);
}

TEST_F(QueueTest, OwnedWindowsAreDestroyedWithTheirOwner) {
    std::vector<std::u16string> order;
    Handler h = [&](Hwnd self, unsigned msg, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (msg == WM_DESTROY) order.push_back(GetWindowTextW(self));
        return std::nullopt;
    };
    Hwnd owner = MakeWindow(&h, u"owner");
    Hwnd owned = MakeWindow(&h, u"owned", owner);
    ASSERT_EQ(GetWindowOwner(owned), owner);
    DestroyWindow(owner);
    EXPECT_FALSE(IsWindow(owned));
    EXPECT_EQ(order, (std::vector<std::u16string>{u"owned", u"owner"}));
}

TEST_F(QueueTest, InputReachesOnlyEnabledWindowsAndCaptionPressesDoNotArrive) {
    // The top 20 pixels act as a caption: a press there drags the window
    // instead of reaching the procedure.
    Log log;
    Handler h = [&](Hwnd self, unsigned msg, WPARAM, LPARAM l) -> std::optional<LRESULT> {
        if (msg == WM_NCHITTEST) {
            Point p{GetXLParam(l), GetYLParam(l)};
            ScreenToClient(self, &p);
            return p.y < 20 ? HTCAPTION : HTCLIENT;
        }
        if (msg == WM_LBUTTONDOWN || msg == WM_LBUTTONUP || msg == WM_KEYDOWN || msg == WM_CHAR || msg == kPosted)
            log.Add(msg);
        return std::nullopt;
    };
    Hwnd w = MakeWindow(&h);
    ASSERT_TRUE(MoveWindow(w, 100, 200, 200, 120));
    ClickAt(w, Point{50, 5});
    ClickAt(w, Point{50, 60});
    SendKey(w, 'A');
    ASSERT_TRUE(PumpUntil([&] { return log.Get().size() == 5; }));
    // The caption press is gone; its release still arrives, as on Windows
    // after a drag. The key types its character through TranslateMessage.
    EXPECT_EQ(log.Get(), (std::vector<unsigned>{WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_KEYDOWN, WM_CHAR}));

    EXPECT_FALSE(EnableWindow(w, false));
    SendKey(w, VK_RETURN);
    ClickAt(w, Point{50, 60});
    // Posted messages still arrive, after the dropped input.
    PostMessageW(w, kPosted, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return log.Get().size() == 6; }));
    EXPECT_EQ(log.Get().back(), kPosted);
    EXPECT_TRUE(EnableWindow(w, true));
    DestroyWindow(w);
}

}  // namespace
}  // namespace tavlin_window_test
