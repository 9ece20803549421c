// CUpdaterWnd: the updater's main window. It shows the version being
// installed, the release notes, a progress bar and a status line, owns the
// download job, and ends the updater (posts the quit message) when it is
// closed, after a forced installation, or after a failure prompt.
//
// Threads: construction, StartJob, the progress ticks, clicks, the forced
// installation and destruction run on the thread that created the window.
// OnRetry and OnJobFailed are the job's callbacks and run on job threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ZebWndBase.h"
#include "app/UpdateParams.h"

class ZipDownloader;

class CUpdaterWnd : public CZebWndBase {
public:
    // Creates the frame window (title by language, icon) on the calling
    // thread; the layout keeps it hidden until the caller shows it.
    CUpdaterWnd();
    // Closes a failure prompt still open on a job thread, destroys the
    // native window, waits for the window's callbacks to return, then
    // releases the job (which stops its download; the engine's temporary
    // file stays for a later run).
    ~CUpdaterWnd() override;

    std::u16string_view GetWindowClassName() const override { return u"zeb_updater_wnd_class_name"; }
    std::u16string GetSkinFile() override;
    DuiLib::LRESULT HandleMessage(DuiLib::UINT uMsg, DuiLib::WPARAM wParam, DuiLib::LPARAM lParam) override;
    // Finds the controls by name and keeps the window above normal windows.
    void InitWindow() override;
    void Notify(DuiLib::TNotifyUI& msg) override;

    // Copies the job record, fills the version label and the release notes,
    // creates and starts the download job and the progress timer. Window's
    // thread, once. False when the job could not be created.
    bool StartJob(const UpdateParams& job);

    // The job's retry notification: stores the count, then holds the
    // calling thread for 2 s (less when the window goes away meanwhile),
    // which paces the job's network checks. Job threads only; touches no
    // control.
    void OnRetry(uint32_t count);

    // The job's failure notification: shows the failure prompt modally on
    // the calling job thread, opens the download page when it is confirmed,
    // then makes the window end the updater. Only the first failure shows a
    // prompt; later ones return at once. Job threads only, never the
    // window's own thread.
    void OnJobFailed();

    // Shows a percentage (capped at 100) and a speed in bytes per tick on
    // the status line and the progress bar, with the retry text; on a
    // finished job stops the timer and completes (forced: installs and
    // quits; ordinary: completion texts). Window's thread.
    void ShowProgress(int percent, uint32_t speed);

    // The progress timer: its identifier and period.
    static constexpr uintptr_t kProgressTimerId = 1121;
    static constexpr unsigned kProgressTimerMs = 1000;
    // The version shown when the job names no new version.
    static constexpr char kCurrentVersion[] = "8.6.6";

    // For tools and tests: called on each new job before it starts (to set
    // its work folder or engine hooks).
    std::function<void(ZipDownloader&)> prepareJob;

    uint32_t lastDownloaded = 0;  // low 32 bits of the byte count at the last tick
    UpdateParams params;
    std::atomic<uint32_t> retryCount{0};  // written by the job's watcher
    std::shared_ptr<ZipDownloader> job;

    // Controls of the current layout; nullptr where the layout lacks one.
    DuiLib::CListUI* listContainer = nullptr;
    DuiLib::CLabelUI* tipsLabel = nullptr;
    DuiLib::CLabelUI* title = nullptr;
    DuiLib::CLabelUI* version = nullptr;
    DuiLib::CButtonUI* closeButton = nullptr;
    DuiLib::CButtonUI* minButton = nullptr;
    DuiLib::CButtonUI* installButton = nullptr;
    DuiLib::CControlUI* buttonLayout = nullptr;
    DuiLib::CControlUI* progressLayout = nullptr;
    DuiLib::CProgressUI* downloadProgress = nullptr;

private:
    struct CallbackGate;

    void OnProgressTick();
    void Complete();

    // Shared with the job's callbacks, which may outlive the window.
    std::shared_ptr<CallbackGate> gate_;
};
