// A real installation tree for ZipDownloader::DoInstall: the work folder
// W = <root>/A/B/temp/ (package, InstallZebApp.dll), the installation
// directory I = <root>/A/B/ (client files, a stand-in launcher) and the
// unpack target X = <root>/A/, with the job's paths filled by FillJobPaths
// exactly as the updater fills them from its own folder. Windows run
// off-screen and are answered by a WindowDriver on a second thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/zipDownloader.h"
#include "platform/window/types.h"
#include "temp_dir.h"

namespace install_test {

// One modal window the driver saw, and what it showed.
struct SeenWindow {
    std::string kind;              // "tips" or "launch"
    std::u16string text;           // tips: the message
    std::u16string caption;        // tips: the confirm button's caption
    bool centred = false;          // on the screen, within a pixel
    bool launcherStartedWhileOpen = false;
};

// Answers the installation's modal windows from its own thread: each prompt
// box with `onTips`, each update-finished window with `onLaunch` (a region
// name to click, or "Escape"/"Enter"). Polls for at most `limitMs`; stops
// when destroyed.
class WindowDriver {
public:
    WindowDriver(std::string onTips, std::string onLaunch, std::function<bool()> launcherStarted,
                 unsigned limitMs = 30000);
    ~WindowDriver();
    WindowDriver(const WindowDriver&) = delete;
    WindowDriver& operator=(const WindowDriver&) = delete;

    std::vector<SeenWindow> Seen();

private:
    void Loop(unsigned limitMs);
    void Answer(platform::Hwnd hwnd, const std::string& kind);

    std::string onTips_, onLaunch_;
    std::function<bool()> launcherStarted_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<SeenWindow> seen_;
    std::thread thread_;
};

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Replaces I's files with `files` (path relative to I -> content).
    void WriteInstallation(const std::map<std::string, std::string>& files);
    // Writes W/update.zip with `files` (entries relative to I).
    void WritePackage(const std::map<std::string, std::string>& files);
    // Content of a file below I; "<missing>" when there is none.
    std::string Installed(const std::string& relative) const;

    // Runs DoInstall on this thread while a driver answers the windows.
    std::vector<SeenWindow> Install(const std::string& onTips, const std::string& onLaunch,
                                    unsigned driverLimitMs = 30000);

    // Launcher starts recorded so far: one "<argc>:<first argument>" each.
    std::vector<std::string> LauncherStarts() const;
    // Waits (bounded) for at least one launcher start.
    std::vector<std::string> WaitForLauncherStarts() const;
    // Lines of W/InstallZebApp.registered.
    std::vector<std::string> Registrations() const;
    // Addresses given to the fake xdg-open, waiting up to waitMs for one.
    std::vector<std::string> OpenedPages(int waitMs) const;

    // Messages of this test's records of the installation; every record of
    // it must carry the job's source unit.
    std::vector<std::string> InstallMessages();

    // Counts only the records written from here on.
    void MarkLogStart();

    static bool Isolated();

    static std::unique_ptr<tavlin_test::TempDir> suite_;  // log, fake xdg-open
    tavlin_test::TempDir root_{"install-"};
    std::string x_, i_, w_;
    UpdateParams params;
    InstallHooks hooks;

private:
    size_t logStart_ = 0;
};

}  // namespace install_test
