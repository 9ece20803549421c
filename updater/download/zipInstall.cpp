// ZipDownloader::DoInstall: stops the client, unpacks the verified package
// over the installation, registers InstallZebApp.dll again, shows the
// update-finished window and starts the launcher, which starts the client.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "app/DownloadPage.h"
#include "app/process_op.h"
#include "app/zebUtil.h"
#include "download/DownloadFile.h"
#include "download/PackageExtractor.h"
#include "download/zipDownloader.h"
#include "log/FileLogger.h"
#include "platform/clock.h"
#include "platform/spawn.h"
#include "zlibdll/ExtractZipToDir.h"

// Every record of the installation names the job's unit and this operation,
// whichever helper below writes it.
#define INSTALL_LOG(format, ...)                                                           \
    ::FileLogger::Instance()->Log(0, "zipDownloader", __LINE__, "ZipDownloader::DoInstall", \
                                  format __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr char kClientName[] = "tavlin.exe";
constexpr uint32_t kClientPollMs = 500;
constexpr uint32_t kRelaunchDelayMs = 300;

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Stops the client until it is gone. False when it still runs after
// `limitMs`: a client that cannot be stopped must not hold the window's
// thread for ever, and its files must not be replaced under it.
bool StopClient(uint32_t limitMs) {
    const uint32_t start = platform::GetTickCount();
    while (FindProcess_ByName(kClientName) != 0) {
        const uint32_t waited = platform::GetTickCount() - start;
        if (waited > limitMs) {
            INSTALL_LOG("Orb is still running after %u ms, unpacking skipped", waited);
            return false;
        }
        INSTALL_LOG("Orb is running");
        zeb::KillOrbProcessAndWait();
        SleepMs(kClientPollMs);
    }
    return true;
}

// Retries an unpack target that cannot be made a folder yet (it may be in
// the way only for a moment) until `limitMs` has passed since `start`. A
// package that cannot be applied is not retried: it would fail the same
// way, and it left the installation as it was. It is removed, so the
// launcher does not try it again at the client's next start. Either way the
// client must not be told that the update succeeded.
bool Unpack(PackageExtractor& extractor, uint32_t start, const InstallHooks& hooks) {
    for (;;) {
        if (extractor.Extract()) break;
        if (platform::GetTickCount() - start > hooks.unpackLimitMs) return false;
        SleepMs(hooks.unpackPauseMs);
    }
    if (extractor.unpackResult == kExtractOk) return true;
    INSTALL_LOG("ExtractZipToDir failed: %d: %s", extractor.unpackResult, extractor.unpackError.c_str());
    // An incomplete commit is finished by the launcher's next start from the
    // installation's journal; the package is not needed for it either. A
    // package that was not tried at all stays for the launcher.
    if (extractor.unpackResult == kExtractPostponed) return false;
    if (!download_file::Remove(extractor.packagePath))
        INSTALL_LOG("cannot remove the package %s: %s", extractor.packagePath.c_str(),
                    download_file::ErrorText(download_file::LastError()).c_str());
    return false;
}

// Offers the full installer's page; the package stays where the launcher
// looks for it.
void ShowFailurePrompt() {
    const bool chinese = CZebWndBase::IsChineseUI();
    CTipsBoxWnd box(nullptr,
                    chinese ? u"升级出问题了,请下载完整安装包~"
                            : u"There are some problems in Updating, Please download full installer from website~",
                    2);
    if (!box.GetHWND()) {
        INSTALL_LOG("the failure prompt could not be created: %s", box.GetLoadError().c_str());
        return;
    }
    if (box.confirmButton) box.confirmButton->SetText(chinese ? u"前往下载" : u"Go Downloading Page");
    if (box.ShowModal() == 1) zeb::OpenDownloadPage();
}

// Shows the update-finished window and, once it has closed whatever was
// clicked, starts the launcher with the client's argument text.
void Relaunch(const UpdateParams& params) {
    SleepMs(kRelaunchDelayMs);
    CLaunchWnd window;
    if (window.GetHWND()) {
        window.CenterWindow();
        window.ShowModal();
    } else {
        // The client must come back even without a window to show.
        INSTALL_LOG("the update-finished window could not be created: %s", window.GetLoadError().c_str());
    }
    if (platform::ShellOpenProgram(params.launcherPath, params.pageCallParam) == 0)
        INSTALL_LOG("the launcher could not be started: %s", params.launcherPath.c_str());
}

}  // namespace

void ZipDownloader::DoInstall() {
    bool installed = StopClient(installHooks.clientStopLimitMs);

    PackageExtractor extractor{params.zipPath, params.extractDir};
    const uint32_t start = platform::GetTickCount();
    if (installed && params.forcedUpdate != 0) installed = Unpack(extractor, start, installHooks);

    if (installed) {
        INSTALL_LOG("install success");
    } else {
        INSTALL_LOG("update install failed , zipName: %s , folder : %s ", params.zipPath.c_str(),
                    params.extractDir.c_str());
        ShowFailurePrompt();
    }

    // The same folder the job registered the component from.
    const std::u16string folder = workDir.empty() ? zeb::GetModuleDir() : zeb::ToWide(workDir);
    zeb::RegisterServerDll(zeb::GetInstallDllPath(folder));

    if (params.relaunch) Relaunch(params);
}
