#include "install_fixture.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "LaunchWnd.h"
#include "TipsBoxWnd.h"
#include "app/UpdaterApp.h"
#include "app/zebUtil.h"
#include "child_process.h"
#include "log/FileLogger.h"
#include "log_files.h"
#include "platform/text.h"
#include "platform/window/automation.h"
#include "platform/window/message_loop.h"
#include "platform/window/messages.h"
#include "platform/window/window.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace install_test {

namespace {

constexpr char kLogName[] = "zebUpdater";
constexpr char kStartsFile[] = "launcher.starts";
constexpr char kOpenedFile[] = "opened";

// Records every start as "<argc>:<first argument>", one line each.
constexpr char kLauncherScript[] =
    "#!/bin/sh\n"
    "printf '%s:%s\\n' \"$#\" \"$1\" >> \"$(dirname \"$0\")/launcher.starts\"\n";

// Stands in for the desktop's opener: records the address it was given.
constexpr char kXdgOpenScript[] =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/../opened\"\n";

void WriteScript(const std::string& path, const char* text) {
    ASSERT_TRUE(tavlin_test::WriteFileText(path, text));
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

std::vector<std::string> FileLines(const std::string& path) {
    return updater_test::SplitLines(tavlin_test::ReadFileText(path));
}

std::string LogText() {
    const auto files = updater_test::LogFiles(
        updater_test::LogFolder(std::getenv("XDG_STATE_HOME"), fs::read_symlink("/proc/self/exe").filename().string()),
        kLogName);
    std::string text;
    for (const std::string& file : files) text += tavlin_test::ReadFileText(file);
    return text;
}

bool Centred(platform::Hwnd hwnd) {
    platform::Rect window, screen = platform::GetScreenRect();
    if (!platform::GetWindowRect(hwnd, &window)) return false;
    return std::abs((window.left + window.right) - (screen.left + screen.right)) <= 2 &&
           std::abs((window.top + window.bottom) - (screen.top + screen.bottom)) <= 2;
}

}  // namespace

// --- WindowDriver ---

WindowDriver::WindowDriver(std::string onTips, std::string onLaunch, std::function<bool()> launcherStarted,
                           unsigned limitMs)
    : onTips_(std::move(onTips)), onLaunch_(std::move(onLaunch)), launcherStarted_(std::move(launcherStarted)),
      thread_([this, limitMs] { Loop(limitMs); }) {}

WindowDriver::~WindowDriver() {
    stop_ = true;
    thread_.join();
}

std::vector<SeenWindow> WindowDriver::Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

void WindowDriver::Loop(unsigned limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    const std::pair<const char*, std::u16string_view> kinds[] = {
        {"tips", u"zeb_updater_tips_wnd_class_name"},
        {"launch", u"zeb_updater_launch_wnd_class_name"},
    };
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        for (const auto& [kind, className] : kinds) {
            platform::Hwnd hwnd = platform::FindWindowW(className, u"");
            if (!hwnd || !platform::IsModalRunning(hwnd)) continue;
            Answer(hwnd, kind);
            // The next window of a kind is a new one only once this one is gone.
            tavlin_test::WaitUntil([hwnd] { return !platform::IsWindow(hwnd); }, 5000, 5);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void WindowDriver::Answer(platform::Hwnd hwnd, const std::string& kind) {
    SeenWindow seen;
    seen.kind = kind;
    seen.centred = Centred(hwnd);
    std::string action = onLaunch_;
    if (kind == "tips") {
        action = onTips_;
        // The box waits in its modal loop: its fields are settled.
        auto* box = dynamic_cast<CTipsBoxWnd*>(static_cast<DuiLib::CWindowWnd*>(platform::GetWindowUserData(hwnd)));
        if (box) {
            seen.text = box->text;
            if (box->confirmButton) seen.caption = box->confirmButton->GetText();
        }
    } else {
        // Time for a launcher started too early to show itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seen.launcherStartedWhileOpen = launcherStarted_();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(seen);
    }
    if (action == "Escape")
        platform::SendKey(hwnd, platform::VK_ESCAPE);
    else if (action == "Enter")
        platform::SendKey(hwnd, platform::VK_RETURN);
    else
        EXPECT_TRUE(platform::ClickRegion(hwnd, platform::Utf8ToUtf16(action))) << action;
}

// --- InstallTest ---

std::unique_ptr<tavlin_test::TempDir> InstallTest::suite_;

void InstallTest::SetUpTestSuite() {
    suite_ = std::make_unique<tavlin_test::TempDir>("install-suite-");
    ::setenv("XDG_STATE_HOME", (*suite_ / "state").c_str(), 1);
    fs::create_directories(*suite_ / "bin");
    WriteScript(*suite_ / "bin/xdg-open", kXdgOpenScript);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (*suite_ / "bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    platform::SetOffscreenMode(true);
    FileLogger* log = FileLogger::Instance();
    log->Open(kLogName);
    log->exactLevel = -1;
    log->maxLevel = 0;
}

void InstallTest::SetUp() {
    ::setenv("LC_ALL", "en_US.UTF-8", 1);
    fs::remove(*suite_ / kOpenedFile);
    x_ = root_ / "A/";
    i_ = x_ + "B/";
    w_ = i_ + "temp/";
    fs::create_directories(w_);
    fs::copy_file(TAVLIN_INSTALL_ZEB_APP, w_ + "InstallZebApp.dll");
    WriteScript(i_ + "TavlinLaunch.exe", kLauncherScript);

    FillJobPaths(params, zeb::ToWide(w_));
    params.relaunch = true;
    params.forcedUpdate = 1;
    params.pageCallParam = "tavlin://class?id=42&name=\"Mr Li\" x";
    ASSERT_EQ(params.extractDir, x_);
    ASSERT_EQ(params.zipPath, w_ + "update.zip");
    ASSERT_EQ(params.launcherPath, i_ + "TavlinLaunch.exe");

    hooks.clientStopLimitMs = 3000;
    hooks.unpackLimitMs = 1500;
    hooks.unpackPauseMs = 100;

    MarkLogStart();
}

void InstallTest::MarkLogStart() {
    ASSERT_TRUE(FileLogger::Instance()->Drain(10000));
    logStart_ = LogText().size();
}

void InstallTest::TearDown() {
    if (HasFailure()) root_.Keep();
}

void InstallTest::WriteInstallation(const std::map<std::string, std::string>& files) {
    for (const auto& [relative, content] : files) {
        const fs::path path = fs::path(i_) / relative;
        fs::create_directories(path.parent_path());
        ASSERT_TRUE(tavlin_test::WriteFileText(path.string(), content));
    }
}

void InstallTest::WritePackage(const std::map<std::string, std::string>& files) {
    tavlin_test::ZipBuilder zip(params.zipPath);
    // Programs as a vendor packs them: executable.
    for (const auto& [relative, content] : files)
        zip.AddFile(relative, content, relative.ends_with(".exe") ? 0755 : 0644);
    zip.Close();
}

std::string InstallTest::Installed(const std::string& relative) const {
    const std::string path = i_ + relative;
    return tavlin_test::FileExists(path) ? tavlin_test::ReadFileText(path) : "<missing>";
}

std::vector<SeenWindow> InstallTest::Install(const std::string& onTips, const std::string& onLaunch,
                                             unsigned driverLimitMs) {
    ZipDownloader job(params);
    job.workDir = w_;
    job.installHooks = hooks;
    WindowDriver driver(onTips, onLaunch, [this] { return !LauncherStarts().empty(); }, driverLimitMs);
    job.DoInstall();
    return driver.Seen();
}

std::vector<std::string> InstallTest::LauncherStarts() const { return FileLines(i_ + kStartsFile); }

std::vector<std::string> InstallTest::WaitForLauncherStarts() const {
    tavlin_test::WaitUntil([this] { return !LauncherStarts().empty(); }, 10000);
    return LauncherStarts();
}

std::vector<std::string> InstallTest::Registrations() const { return FileLines(w_ + "InstallZebApp.registered"); }

std::vector<std::string> InstallTest::OpenedPages(int waitMs) const {
    const std::string path = *suite_ / kOpenedFile;
    tavlin_test::WaitUntil([&path] { return tavlin_test::FileExists(path); }, waitMs);
    return FileLines(path);
}

std::vector<std::string> InstallTest::InstallMessages() {
    EXPECT_TRUE(FileLogger::Instance()->Drain(10000));
    const std::string text = LogText();
    std::vector<std::string> messages;
    updater_test::Record record;
    for (const std::string& line : updater_test::SplitLines(text.substr(std::min(text.size(), logStart_)))) {
        if (!updater_test::ParseRecord(line, record) || record.function != "ZipDownloader::DoInstall") continue;
        EXPECT_EQ(record.source, "zipDownloader") << line;
        EXPECT_EQ(record.level, "0") << line;
        messages.push_back(record.message);
    }
    return messages;
}

bool InstallTest::Isolated() { return ::getpid() == 1; }

}  // namespace install_test
