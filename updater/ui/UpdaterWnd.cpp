#include "UpdaterWnd.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "ProgressText.h"
#include "SkinResource.h"
#include "TipsBoxWnd.h"
#include "app/DownloadPage.h"
#include "download/zipDownloader.h"
#include "platform/network.h"
#include "platform/window/paint.h"

using namespace DuiLib;
// Spelled DuiLib:: where the Windows headers that curl brings in have a type
// of the same name.

// What the window shares with the job's callbacks. The job runs a copy of
// onFailure on a detached thread after a digest mismatch, which may outlive
// the window: the callbacks reach the window only through this gate, and
// the window's destructor cuts the link and waits for the visits in
// progress before anything of the window goes away.
struct CUpdaterWnd::CallbackGate {
    std::mutex mutex;
    std::condition_variable cv;
    CUpdaterWnd* wnd = nullptr;  // nullptr once the window is going away
    DuiLib::HWND hwnd = nullptr;    // the progress window, for the quit request
    DuiLib::HWND prompt = nullptr;  // the failure prompt while it is open
    bool failureShown = false;
    int visits = 0;
};

namespace {

constexpr int kRetryWidth = 360;
constexpr unsigned kRetryPauseMs = 2000;
constexpr unsigned kInstallDelayMs = 1000;
constexpr int kFailurePromptMode = 2;  // confirm only, caption set here
constexpr DuiLib::DWORD kNoteColor = 0x005D5D5D;
constexpr DuiLib::DWORD kDoneColor = 0x0000FF00;
constexpr int kNoteFont = 2;

// A callback's visit to the window: holds the window for the duration of
// the call, or finds it gone.
template <typename Gate>
class Visit {
public:
    explicit Visit(const std::shared_ptr<Gate>& gate) : gate_(gate) {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        wnd_ = gate_->wnd;
        if (wnd_) ++gate_->visits;
    }
    ~Visit() {
        if (!wnd_) return;
        std::lock_guard<std::mutex> lock(gate_->mutex);
        --gate_->visits;
        gate_->cv.notify_all();
    }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;

    CUpdaterWnd* window() const { return wnd_; }

private:
    std::shared_ptr<Gate> gate_;
    CUpdaterWnd* wnd_ = nullptr;
};

template <typename Control>
Control* Find(CPaintManagerUI& manager, const char16_t* name) {
    return dynamic_cast<Control*>(manager.FindControl(name));
}

}  // namespace

CUpdaterWnd::CUpdaterWnd() : gate_(std::make_shared<CallbackGate>()) {
    Create(nullptr, IsChineseUI() ? u"升级程序" : u"Update Program", WS_VISIBLE | WS_OVERLAPPEDWINDOW,
           WS_EX_WINDOWEDGE);
    SetIcon(zeb_ui::kIconResourceId);
    std::lock_guard<std::mutex> lock(gate_->mutex);
    gate_->wnd = this;
    gate_->hwnd = m_hWnd;
}

CUpdaterWnd::~CUpdaterWnd() {
    if (m_hWnd) platform::KillTimer(m_hWnd, kProgressTimerId);
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->wnd = nullptr;
        gate_->hwnd = nullptr;
        // Answered with 0: neither confirmed nor cancelled, so the prompt
        // opens no page.
        if (gate_->prompt) platform::PostMessageW(gate_->prompt, WM_CLOSE, 0, 0);
        gate_->cv.notify_all();
    }
    DestroyNativeWindow();
    // A failure handler may be inside a synchronous send to this thread;
    // serve it (the window is gone, so it fails) while waiting for it.
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(gate_->mutex);
            if (gate_->cv.wait_for(lock, std::chrono::milliseconds(10), [this] { return gate_->visits == 0; }))
                break;
        }
        Msg pending;
        platform::PeekMessageW(&pending, nullptr, PM_NOREMOVE);
    }
    // Stops the download and waits for the job's threads; its callbacks
    // find the gate closed.
    job.reset();
}

std::u16string CUpdaterWnd::GetSkinFile() { return IsChineseUI() ? u"UpdaterWnd.xml" : u"UpdaterWnd_en.xml"; }

void CUpdaterWnd::InitWindow() {
    listContainer = Find<CListUI>(m_PaintManager, u"ListContainer");
    tipsLabel = Find<CLabelUI>(m_PaintManager, u"tipsLabel");
    title = Find<CLabelUI>(m_PaintManager, u"title");
    version = Find<CLabelUI>(m_PaintManager, u"version");
    closeButton = Find<CButtonUI>(m_PaintManager, u"closeButton");
    minButton = Find<CButtonUI>(m_PaintManager, u"minButton");
    installButton = Find<CButtonUI>(m_PaintManager, u"installButton");
    buttonLayout = m_PaintManager.FindControl(u"buttonLayout");
    progressLayout = m_PaintManager.FindControl(u"progressLayout");
    downloadProgress = Find<CProgressUI>(m_PaintManager, u"downloadProgress");
    platform::SetWindowTopmost(m_hWnd, true);
}

bool CUpdaterWnd::StartJob(const UpdateParams& record) {
    params = record;

    if (version) version->SetText(zeb_ui::VersionLabelText(params.newVersion, kCurrentVersion));

    if (!params.prompt.empty() && listContainer) {
        listContainer->RemoveAll();
        listContainer->EnableScrollBar(true, false);
        for (const std::u16string& line : zeb_ui::SplitReleaseNotes(params.prompt)) {
            auto* label = new CLabelUI;
            label->SetAttribute(u"width", u"260");
            label->SetAttribute(u"multiline", u"true");
            label->SetAttribute(u"wordbreak", u"true");
            label->SetFont(kNoteFont);
            label->SetTextColor(kNoteColor);
            label->SetText(line);
            listContainer->Add(label);
        }
    }

    // The previous job, if any, is stopped before the new one starts.
    job.reset();
    try {
        job = std::make_shared<ZipDownloader>(params);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (prepareJob) prepareJob(*job);
    job->onRetry = [gate = gate_](uint32_t count) {
        Visit<CallbackGate> visit(gate);
        if (visit.window()) visit.window()->OnRetry(count);
    };
    job->onFailure = [gate = gate_] {
        Visit<CallbackGate> visit(gate);
        if (visit.window()) visit.window()->OnJobFailed();
    };
    job->Start();

    lastDownloaded = 0;
    return platform::SetTimer(m_hWnd, kProgressTimerId, kProgressTimerMs) != 0;
}

void CUpdaterWnd::OnRetry(uint32_t count) {
    retryCount = count;
    // The pause paces the job's network checks; it ends early when the
    // window goes away, so that closing is not held up.
    std::unique_lock<std::mutex> lock(gate_->mutex);
    gate_->cv.wait_for(lock, std::chrono::milliseconds(kRetryPauseMs), [this] { return gate_->wnd == nullptr; });
}

void CUpdaterWnd::OnJobFailed() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        // One prompt per run: the first failure already ends the updater.
        if (!gate_->wnd || gate_->failureShown) return;
        gate_->failureShown = true;
    }
    const bool chinese = IsChineseUI();
    const bool online = platform::IsNetworkAlive();
    std::u16string_view text;
    std::u16string_view caption;
    if (online) {
        text = chinese ? u"升级出问题了,请下载完整安装包~" : u"Problems occured. Please visit our website~";
        caption = chinese ? u"前往下载" : u"Go Downloading Page";
    } else {
        text = chinese ? u"网络已断开，请检查网络环境后重试~"
                       : u"The network has been disconnected. Please check the network environment and try again.";
        caption = chinese ? u"关闭" : u"Close";
    }

    UINT result = 0;
    {
        CTipsBoxWnd box(nullptr, text, kFailurePromptMode);
        if (box.confirmButton) box.confirmButton->SetText(caption);
        bool show;
        {
            std::lock_guard<std::mutex> lock(gate_->mutex);
            show = gate_->wnd != nullptr;
            if (show) gate_->prompt = box.GetHWND();
        }
        if (show) result = box.ShowModal();
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->prompt = nullptr;
    }
    if (result == 1) zeb::OpenDownloadPage();

    DuiLib::HWND target;
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        target = gate_->hwnd;
    }
    // Handled on the window's thread, which posts the quit there. A window
    // destroyed meanwhile makes the send fail at once.
    if (target) platform::SendMessageW(target, WM_QUIT, 0, 0);
}

void CUpdaterWnd::OnProgressTick() {
    const DownloadProgress progress = job ? job->progress : DownloadProgress{};
    const zeb_ui::TickNumbers tick = zeb_ui::ComputeTick(progress.downloadedBytes, progress.totalBytes, lastDownloaded);
    lastDownloaded = static_cast<uint32_t>(progress.downloadedBytes);
    ShowProgress(tick.percent, tick.speed);
}

void CUpdaterWnd::ShowProgress(int percent, uint32_t speed) {
    percent = std::clamp(percent, 0, 100);
    const uint32_t retries = retryCount;
    const bool chinese = IsChineseUI();

    if (retries == 1 && m_hWnd) {
        DuiLib::RECT rc;
        // Already that wide on the ticks after the first: nothing to move,
        // and nothing to lay out and draw again.
        if (platform::GetWindowRect(m_hWnd, &rc) && rc.Width() != kRetryWidth)
            platform::MoveWindow(m_hWnd, rc.right - kRetryWidth, rc.top, kRetryWidth, rc.Height());
    }

    const std::u16string status = zeb_ui::StatusText(percent, retries, speed, params.forcedUpdate != 0, chinese);
    if (tipsLabel) {
        tipsLabel->SetText(status);
        FitLabelRow(m_hWnd, *tipsLabel);
    }
    if (downloadProgress) downloadProgress->SetValue(percent);

    if (job && job->finished) Complete();
}

void CUpdaterWnd::Complete() {
    if (m_hWnd) platform::KillTimer(m_hWnd, kProgressTimerId);
    if (params.forcedUpdate != 0) {
        // The thread is busy until the installation's own windows run their
        // loops: draw the full bar now, not after the installation.
        if (m_hWnd) platform::UpdateWindow(m_hWnd);
        std::this_thread::sleep_for(std::chrono::milliseconds(kInstallDelayMs));
        job->DoInstall();
        platform::PostQuitMessage(0);
        return;
    }
    const bool chinese = IsChineseUI();
    if (chinese) {
        if (title) title->SetText(u"新版本下载完成！");
        if (tipsLabel) tipsLabel->SetTextColor(kDoneColor);
    }
    if (tipsLabel) {
        tipsLabel->SetText(zeb_ui::CompletionText(chinese));
        FitLabelRow(m_hWnd, *tipsLabel);
    }
    if (buttonLayout) buttonLayout->SetVisible(true);
}

DuiLib::LRESULT CUpdaterWnd::HandleMessage(UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam) {
    if (uMsg == WM_CLOSE || uMsg == WM_QUIT) {
        platform::PostQuitMessage(0);
        return 1;
    }
    if (uMsg == WM_TIMER && wParam == kProgressTimerId) OnProgressTick();
    return WindowImplBase::HandleMessage(uMsg, wParam, lParam);
}

void CUpdaterWnd::Notify(TNotifyUI& msg) {
    if (msg.sType != DUI_MSGTYPE_CLICK || !msg.pSender) return;
    const std::u16string& name = msg.pSender->GetName();
    if (name == u"closeButton") {
        platform::PostQuitMessage(0);
    } else if (name == u"installButton") {
        // Only a verified package is installed.
        if (job && job->finished) job->DoInstall();
        platform::PostQuitMessage(0);
    } else if (name == u"minButton") {
        SendMessageW(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    }
    // "skipButton": nothing.
}
