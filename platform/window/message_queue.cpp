// Per-thread message queues: posting, sending across threads, timers and
// the GetMessageW / PeekMessageW fetch loop.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "platform/window/messages.h"
#include "backend.h"
#include "core.h"
#include "thread_exit.h"

namespace platform {
namespace detail {

namespace {

// Never destroyed: threads may still post while the process exits.
std::mutex& Mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<Hwnd>& Live() {
    static auto* v = new std::vector<Hwnd>;
    return *v;
}
std::unordered_map<ThreadId, std::weak_ptr<ThreadQueue>>& Threads() {
    static auto* t = new std::unordered_map<ThreadId, std::weak_ptr<ThreadQueue>>;
    return *t;
}
std::atomic<ThreadId> g_nextThreadId{1};
// Guarded by CoreLock.
bool g_havePointer = false;
Point g_pointer;
std::atomic<uintptr_t> g_nextThreadTimerId{0x10000};

void ShutdownQueue(const std::shared_ptr<ThreadQueue>& q) {
    DestroyThreadWindows(*q);
    std::deque<std::shared_ptr<SentMessage>> orphans;
    {
        auto lock = CoreLock();
        q->alive = false;
        Threads().erase(q->id);
        orphans.swap(q->incoming);
        for (auto& s : orphans) {
            s->done = true;
            if (s->sender) s->sender->Wake();
        }
        q->posted.clear();
        q->timers.clear();
    }
    q->backend.reset();
}

// A thread that ends while the process exits must not close its display
// connection under exit(): the X and cairo libraries' state is torn down
// then (a detached thread that showed a prompt ends just as the main thread
// returns). exit() runs WaitForThreadTeardowns before it unloads libraries:
// it waits (bounded) for teardowns under way, and a thread that ends later
// leaves its connection to the kernel. Never destroyed, like the core.
struct ExitGuard {
    std::mutex mutex;
    std::condition_variable idle;
    int tearingDown = 0;
    bool exiting = false;
};
ExitGuard& Exit() {
    static auto* g = new ExitGuard;
    return *g;
}
constexpr auto kExitWaitLimit = std::chrono::seconds(2);

void WaitForThreadTeardowns() {
    ExitGuard& g = Exit();
    std::unique_lock<std::mutex> lock(g.mutex);
    g.exiting = true;
    g.idle.wait_for(lock, kExitWaitLimit, [&] { return g.tearingDown == 0; });
}

// The thread's queue lives as long as the thread; at its end the thread's
// windows go and waiting senders are released.
struct ThreadHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~ThreadHolder() {
        if (!queue) return;
        ExitGuard& g = Exit();
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            if (g.exiting) {
                (void)queue->backend.release();
                return;
            }
            ++g.tearingDown;
        }
        ShutdownQueue(queue);
        std::lock_guard<std::mutex> lock(g.mutex);
        --g.tearingDown;
        g.idle.notify_all();
    }
};
// Trivially destroyed; the holder itself goes at the thread's end.
thread_local ThreadHolder* t_holder = nullptr;

// The pointer is cleared first, so that a late call on this thread starts a
// fresh queue instead of reaching the freed holder.
void EndThread(void* holder) {
    if (t_holder == holder) t_holder = nullptr;
    delete static_cast<ThreadHolder*>(holder);
}

// Sleeps until something is queued, the backend has events or the timeout.
void Sleep(ThreadQueue& q, int timeoutMs) { q.wake.Wait(q.backend.get(), timeoutMs); }

int MsUntil(Clock::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count() + 1;
    if (left < 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

LRESULT CallProc(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    WndProc proc;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd) || hwnd->queue != CurrentQueue()) return 0;
        proc = hwnd->proc;
    }
    return proc(hwnd, msg, wParam, lParam);
}

// Handles every message other threads have sent to this one.
void ServeIncoming(const std::shared_ptr<ThreadQueue>& me) {
    for (;;) {
        std::shared_ptr<SentMessage> s;
        {
            auto lock = CoreLock();
            if (me->incoming.empty()) return;
            s = me->incoming.front();
            me->incoming.pop_front();
        }
        LRESULT r = 0;
        bool ran = false;
        if (s->call) {
            r = s->call();
            ran = true;
        } else if (IsOwnWindow(s->hwnd)) {
            r = CallProc(s->hwnd, s->msg, s->wParam, s->lParam);
            ran = true;
        }
        auto lock = CoreLock();
        s->result = r;
        s->handled = ran;
        s->done = true;
        if (s->sender) s->sender->Wake();
    }
}

// Sends to hwnd and waits, serving this thread's own incoming messages
// meanwhile. timeoutMs < 0 waits for ever. True when the message was handled.
bool SendCore(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam,
              std::function<LRESULT()> call, int timeoutMs, LRESULT* result) {
    const auto& me = CurrentQueue();
    std::shared_ptr<SentMessage> s;
    std::shared_ptr<ThreadQueue> target;
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(hwnd)) return false;
        target = hwnd->queue;
        if (target != me) {
            if (!target->alive) return false;
            s = std::make_shared<SentMessage>();
            s->hwnd = hwnd;
            s->msg = msg;
            s->wParam = wParam;
            s->lParam = lParam;
            s->call = std::move(call);
            s->sender = me;
            target->incoming.push_back(s);
            target->Wake();
        }
    }
    if (!s) {
        LRESULT r = call ? call() : CallProc(hwnd, msg, wParam, lParam);
        if (result) *result = r;
        return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        ServeIncoming(me);
        int wait = -1;
        {
            auto lock = CoreLock();
            if (s->done) {
                if (result) *result = s->result;
                return s->handled;
            }
            if (timeoutMs >= 0) {
                wait = MsUntil(deadline);
                if (Clock::now() >= deadline) {
                    auto& in = target->incoming;
                    in.erase(std::remove(in.begin(), in.end(), s), in.end());
                    // Still done = false: a handler already running finishes
                    // on its own and nobody reads its result.
                    s->sender.reset();
                    return false;
                }
            }
        }
        me->wake.Wait(nullptr, wait);
    }
}

enum class Got { Message, Quit, Nothing };

// Input that reaches a window only after these checks: none for a disabled
// window, and a left press in a caption area starts a drag instead.
bool AcceptInput(const Msg& m) {
    {
        auto lock = CoreLock();
        if (!IsLiveLocked(m.hwnd) || !m.hwnd->enabled) return false;
    }
    if (m.message == WM_LBUTTONDOWN) {
        LRESULT hit = SendMessageW(m.hwnd, WM_NCHITTEST, 0, MakeLParam(m.pt.x, m.pt.y));
        if (hit == HTCAPTION) {
            if (Backend* be = CurrentQueue()->backend.get()) be->BeginDrag(m.hwnd, m.pt);
            return false;
        }
    }
    return true;
}

Got Fetch(Msg* out, Hwnd filter, bool wait, bool remove) {
    const auto& q = CurrentQueue();
    for (;;) {
        ServeIncoming(q);
        if (q->backend) q->backend->Pump();
        int timeout = -1;
        bool checkInput = false;
        {
            auto lock = CoreLock();
            auto it = std::find_if(q->posted.begin(), q->posted.end(), [&](const Posted& p) {
                return !filter || p.msg.hwnd == filter;
            });
            if (it != q->posted.end()) {
                Posted p = *it;
                if (remove) q->posted.erase(it);
                *out = p.msg;
                if (p.msg.message == WM_QUIT) return Got::Quit;
                checkInput = p.input && remove;
                if (!checkInput) return Got::Message;
            } else if (q->quitPosted) {
                if (remove) q->quitPosted = false;
                *out = Msg{};
                out->message = WM_QUIT;
                out->wParam = static_cast<WPARAM>(q->quitCode);
                out->time = NowMs();
                return Got::Quit;
            } else {
                for (Hwnd w : Live()) {
                    if (w->queue != q || (filter && w != filter)) continue;
                    if (w->visible && !w->invalid.Empty()) {
                        *out = Msg{};
                        out->hwnd = w;
                        out->message = WM_PAINT;
                        out->time = NowMs();
                        return Got::Message;
                    }
                }
                const auto now = Clock::now();
                Clock::time_point next = Clock::time_point::max();
                for (Timer& t : q->timers) {
                    if (filter && t.hwnd != filter) continue;
                    if (t.due <= now) {
                        *out = Msg{};
                        out->hwnd = t.hwnd;
                        out->message = WM_TIMER;
                        out->wParam = t.id;
                        out->lParam = reinterpret_cast<LPARAM>(t.callback);
                        out->time = NowMs();
                        if (remove) t.due = now + std::chrono::milliseconds(t.periodMs);
                        return Got::Message;
                    }
                    next = std::min(next, t.due);
                }
                if (next != Clock::time_point::max()) timeout = MsUntil(next);
            }
        }
        if (checkInput) {
            if (AcceptInput(*out)) return Got::Message;
            continue;
        }
        if (!wait) return Got::Nothing;
        if (q->backend) {
            q->backend->Flush();
            if (q->backend->EventsWaiting()) continue;
        }
        Sleep(*q, timeout);
    }
}

}  // namespace

void ThreadQueue::Wake() const { wake.Set(); }

std::unique_lock<std::mutex> CoreLock() { return std::unique_lock<std::mutex>(Mutex()); }

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
    if (!t_holder) {
        static std::once_flag exitHook;
        std::call_once(exitHook, [] { std::atexit(WaitForThreadTeardowns); });
        auto q = std::make_shared<ThreadQueue>();
        q->id = g_nextThreadId++;
        auto lock = CoreLock();
        Threads()[q->id] = q;
        t_holder = new ThreadHolder{std::move(q)};
        CallAtThreadExit(EndThread, t_holder);
    }
    return t_holder->queue;
}

bool IsLiveLocked(Hwnd hwnd) {
    if (!hwnd) return false;
    const auto& v = Live();
    return std::find(v.begin(), v.end(), hwnd) != v.end();
}

std::vector<Hwnd>& LiveWindowsLocked() { return Live(); }

bool IsOwnWindow(Hwnd hwnd) {
    const auto& me = CurrentQueue();
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) && hwnd->queue == me;
}

bool CallOnWindowThread(Hwnd hwnd, const std::function<LRESULT()>& fn, LRESULT* result) {
    return SendCore(hwnd, WM_NULL, 0, 0, fn, -1, result);
}

void PostInput(Hwnd hwnd, const Msg& msg) {
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd) || !hwnd->enabled || !hwnd->queue->alive) return;
    Posted p{msg, true};
    p.msg.hwnd = hwnd;
    if (msg.message >= WM_MOUSEMOVE && msg.message <= WM_MOUSEWHEEL) {
        g_havePointer = true;
        g_pointer = msg.pt;
    }
    if (!p.msg.time) p.msg.time = NowMs();
    hwnd->queue->posted.push_back(p);
    hwnd->queue->Wake();
}

bool LastInputPoint(Point* p) {
    auto lock = CoreLock();
    if (g_havePointer) *p = g_pointer;
    return g_havePointer;
}

uint32_t NowMs() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count()));
}

}  // namespace detail

using namespace detail;

ThreadId GetCurrentThreadId() { return CurrentQueue()->id; }

ThreadId GetWindowThreadId(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->queue->id : 0;
}

bool GetMessageW(Msg* msg, Hwnd hwnd) { return Fetch(msg, hwnd, true, true) == Got::Message; }

bool PeekMessageW(Msg* msg, Hwnd hwnd, unsigned options) {
    return Fetch(msg, hwnd, false, (options & PM_REMOVE) != 0) != Got::Nothing;
}

bool TranslateMessage(const Msg& msg) {
    if ((msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) || !msg.character) return false;
    const auto& q = CurrentQueue();
    Posted p;
    p.msg = msg;
    p.msg.message = WM_CHAR;
    p.msg.wParam = msg.character;
    p.msg.character = 0;
    p.input = true;
    auto lock = CoreLock();
    q->posted.push_front(p);
    return true;
}

LRESULT DispatchMessageW(const Msg& msg) {
    if (msg.message == WM_TIMER && msg.lParam) {
        reinterpret_cast<TimerProc>(msg.lParam)(msg.hwnd, WM_TIMER, msg.wParam, msg.time);
        return 0;
    }
    if (!msg.hwnd || !IsOwnWindow(msg.hwnd)) return 0;
    if (msg.message == WM_PAINT) {
        msg.hwnd->beginPaintCalled = false;
        LRESULT r = CallProc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
        // A procedure that ignores WM_PAINT must not get it again and again.
        if (IsOwnWindow(msg.hwnd) && !msg.hwnd->beginPaintCalled) {
            auto lock = CoreLock();
            msg.hwnd->invalid = Rect{};
        }
        return r;
    }
    return CallProc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

int RunMessageLoop() {
    Msg msg;
    while (GetMessageW(&msg)) {
        TranslateMessage(msg);
        DispatchMessageW(msg);
    }
    return static_cast<int>(msg.wParam);
}

bool PostMessageW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (!hwnd) return PostThreadMessageW(GetCurrentThreadId(), msg, wParam, lParam);
    auto lock = CoreLock();
    if (!IsLiveLocked(hwnd) || !hwnd->queue->alive) return false;
    Posted p;
    p.msg = Msg{hwnd, msg, wParam, lParam, NowMs(), {}, 0};
    hwnd->queue->posted.push_back(p);
    hwnd->queue->Wake();
    return true;
}

bool PostThreadMessageW(ThreadId thread, unsigned msg, WPARAM wParam, LPARAM lParam) {
    auto lock = CoreLock();
    auto it = Threads().find(thread);
    if (it == Threads().end()) return false;
    auto q = it->second.lock();
    if (!q || !q->alive) return false;
    Posted p;
    p.msg = Msg{nullptr, msg, wParam, lParam, NowMs(), {}, 0};
    q->posted.push_back(p);
    q->Wake();
    return true;
}

void PostQuitMessage(int exitCode) {
    const auto& q = CurrentQueue();
    auto lock = CoreLock();
    q->quitPosted = true;
    q->quitCode = exitCode;
    q->Wake();
}

LRESULT SendMessageW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
    LRESULT r = 0;
    SendCore(hwnd, msg, wParam, lParam, nullptr, -1, &r);
    return r;
}

bool SendMessageTimeoutW(Hwnd hwnd, unsigned msg, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                         LRESULT* result) {
    int t = timeoutMs > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    return SendCore(hwnd, msg, wParam, lParam, nullptr, t, result);
}

uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, unsigned periodMs, TimerProc callback) {
    // As on Windows, very short periods are raised to 10 ms.
    periodMs = std::max(periodMs, 10u);
    std::shared_ptr<ThreadQueue> q;
    auto lock = CoreLock();
    if (hwnd) {
        if (!IsLiveLocked(hwnd)) return 0;
        q = hwnd->queue;
    } else {
        lock.unlock();
        q = CurrentQueue();
        lock.lock();
        id = g_nextThreadTimerId++;
    }
    const auto due = Clock::now() + std::chrono::milliseconds(periodMs);
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != q->timers.end()) {
        it->periodMs = periodMs;
        it->callback = callback;
        it->due = due;
    } else {
        q->timers.push_back(Timer{hwnd, id, periodMs, callback, due});
    }
    q->Wake();
    return hwnd ? (id ? id : 1) : id;
}

bool KillTimer(Hwnd hwnd, uintptr_t id) {
    std::shared_ptr<ThreadQueue> q;
    if (!hwnd) q = CurrentQueue();
    auto lock = CoreLock();
    if (hwnd) {
        if (!IsLiveLocked(hwnd)) return false;
        q = hwnd->queue;
    }
    auto& timers = q->timers;
    auto it = std::remove_if(timers.begin(), timers.end(),
                             [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    bool found = it != timers.end();
    timers.erase(it, timers.end());
    return found;
}

}  // namespace platform
