// UpdaterApp::Run: the forced-update notice and the progress window with its
// message loop. Kept apart from UpdaterApp.cpp so that the updater's base
// library does not depend on the windows.
#include <cstdio>
#include <memory>
#include <string_view>

#include "TipsBoxWnd.h"
#include "UpdaterWnd.h"
#include "app/StopSignals.h"
#include "app/UpdaterApp.h"
#include "app/zebUtil.h"
#include "duilib/UIlib.h"
#include "log/FileLogger.h"
#include "platform/language.h"
#include "platform/window/foreign.h"
#include "platform/window/window.h"

namespace {

// The client's main window, the notice's owner when it is there.
constexpr std::u16string_view kClientWindowClass = u"vostrapanel";
constexpr uint16_t kChineseLanguage = 2052;
constexpr std::u16string_view kNoticeChinese = u"您的客户端版本太低，将更新至最新版本!";
constexpr std::u16string_view kNoticeEnglish =
    u"Your client version is too low. We will update it to the latest version!";
constexpr int kTipsModeConfirmOnly = 0;

// The log names this file's records after the application object.
void LogNoWindow(int line, const char* what) {
    FileLogger::Instance()->Log(0, "UpdaterApp", line, "UpdaterApp::Run", "%s could not be created", what);
    std::fprintf(stderr, "tavlinUpdater: the %s could not be created (no display?)\n", what);
}

// False when the box could not be created (no display): the caller must
// not stop the client the user was never told about.
bool ShowForcedUpdateNotice() {
    const platform::ForeignWindow client = platform::FindForeignWindow(kClientWindowClass);
    const std::u16string_view text =
        platform::GetUserDefaultUILanguage() == kChineseLanguage ? kNoticeChinese : kNoticeEnglish;
    CTipsBoxWnd box(nullptr, text, kTipsModeConfirmOnly);
    if (!box.GetHWND()) return false;
    // The client is another program: the box is kept above its window by
    // the window manager instead of being owned in this process.
    if (client) platform::SetForeignOwner(box.GetHWND(), client);
    box.CenterWindow();
    box.ShowModal();
    return true;
}

// Returns when the window ends the run; false when it could not be created.
bool RunProgressWindow(const UpdateParams& params) {
    auto window = std::make_unique<CUpdaterWnd>();
    // Without a window nothing would ever end the message loop.
    if (!window->GetHWND()) return false;
    window->ShowWindow(false, true);
    window->CenterWindow();
    window->StartJob(params);
    window->ShowWindow(true, true);
    platform::SetForegroundWindow(window->GetHWND());
    DuiLib::CPaintManagerUI::MessageLoop();
    // Ends the job the window owns.
    window.reset();
    return true;
}

}  // namespace

bool UpdaterApp::Run(std::u16string_view cmdLine) {
    // From here on a stop signal ends this thread's message loops, modal
    // ones included, as closing the window does.
    StopSignals::NameLoopThread();
    DuiLib::CPaintManagerUI::SetInstance(moduleInstance);
    DuiLib::CPaintManagerUI::SetResourcePath(DuiLib::CPaintManagerUI::GetInstancePath());

    const UpdateParams params = parseZipConf(cmdLine);
    if (params.forcedUpdate == 1) {
        if (!ShowForcedUpdateNotice()) {
            LogNoWindow(__LINE__, "forced-update notice");
            return false;
        }
        // A stop that ended the notice is no consent to stop the client.
        if (StopSignals::Requested()) return true;
        zeb::KillOrbProcessAndWait();
    }
    if (params.zipUrl == "?" || StopSignals::Requested()) return true;
    if (!RunProgressWindow(params)) {
        LogNoWindow(__LINE__, "progress window");
        return false;
    }
    return true;
}
