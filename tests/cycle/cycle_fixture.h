// Fixture for the whole update cycle as real processes: an installation
// folder laid out as shipped (the launcher, the stand-in client and its
// companion, temp/Updater.exe with zlib.dll and InstallZebApp.dll beside
// it), a private desktop user, a private Xvfb, and a stand-in "xdg-open"
// early in PATH that records the pages the updater asks to open.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"
#include "screen_shot.h"
#include "temp_dir.h"
#include "user_env.h"
#include "xvfb.h"

namespace cycle_test {

using tavlin_test::ChildProcess;
using tavlin_test::Environment;

// Bounds for waits, so nothing can hang; generous for sanitizer builds and
// a loaded machine. They assert no speed.
constexpr int kProcessTimeoutMs = 60000;
constexpr int kWindowTimeoutSec = 30;

// The window classes of the updater's windows.
inline constexpr const char* kProgressClass = "zeb_updater_wnd_class_name";
inline constexpr const char* kFinishedClass = "zeb_updater_launch_wnd_class_name";
inline constexpr const char* kPromptClass = "zeb_updater_tips_wnd_class_name";

// Files of a package, by their path relative to the installation folder.
using PackageFiles = std::map<std::string, std::string>;

class CycleTest : public ::testing::Test {
protected:
    // Chinese by default: only the Chinese progress window shows the
    // version, the notes and the green completion line.
    explicit CycleTest(std::string lang = "zh_CN.UTF-8") : lang_(std::move(lang)) {}
    void SetUp() override;
    void TearDown() override;

    std::string Installed(const std::string& relative) const { return install_ + "/" + relative; }
    std::string Work(const std::string& relative) const { return install_ + "/temp/" + relative; }
    // The folder a package server serves.
    std::string Www(const std::string& relative) const { return tmp_ / ("www/" + relative); }

    // Writes a package to `zipPath` holding `files` plus, when `withClient`,
    // the stand-in client as "tavlin.exe" (mode 0755), and returns its MD5
    // digest in lowercase hex.
    std::string MakePackage(const std::string& zipPath, const PackageFiles& files, bool withClient = true);

    // Starts temp/Updater.exe with `args` (each one argument; the updater
    // joins them with spaces) from an unrelated current folder.
    ChildProcess StartUpdater(const std::vector<std::string>& args);
    // The updater started as `program` (a path relative to `cwd`) from `cwd`.
    ChildProcess StartUpdaterFrom(const std::string& cwd, const std::string& program,
                                  const std::vector<std::string>& args);
    // Starts the installation's client and waits until it serves its pipe.
    ChildProcess StartClient();
    tavlin_test::RunResult RunLauncher(const std::vector<std::string>& args);

    // Waits for a visible window of that X class; its id, or empty.
    std::string WaitForClass(const std::string& windowClass, int timeoutSec = kWindowTimeoutSec);
    // Visible windows of that class now.
    std::vector<std::string> WindowsOfClass(const std::string& windowClass);
    std::string WindowName(const std::string& id);
    // Width and height of a window; {0, 0} when it is gone.
    std::pair<int, int> WindowSize(const std::string& id);
    bool PressKey(const std::string& id, const std::string& key);
    // Moves the pointer to a point of the window and clicks the left button.
    bool Click(const std::string& id, int x, int y);
    // What the screen shows of the window; fails the test when unreadable.
    Shot Capture(const std::string& id);
    // Waits (bounded) until the window shows green completion text.
    bool WaitForGreen(const std::string& id, int timeoutMs = kProcessTimeoutMs);
    // Saves a capture as <suite>.<test>-<name>.png in the folder named by
    // TAVLIN_CYCLE_SHOTS, when that is set.
    void KeepShot(const Shot& shot, const std::string& name);

    // Lines of temp/InstallZebApp.registered: one per registration.
    std::vector<std::string> Registrations() const;
    // Every record the updater wrote to its log files so far.
    std::string UpdaterLog() const;
    // The addresses the updater handed to xdg-open, one per call.
    std::vector<std::string> OpenedPages() const;
    // The client's records of `kind` ("version", "args", "pipe"), in order.
    std::vector<std::string> ClientCalls(const std::string& kind) const;
    bool WaitForClientCalls(const std::string& kind, size_t count, int timeoutMs = kProcessTimeoutMs) const;

    tavlin_test::TempDir tmp_{"tavlin-cycle-"};
    std::string lang_;
    tavlin_test::UserFolders user_;
    std::string install_;
    Environment env_;
    tavlin_test::XvfbServer xvfb_;
};

// The segment records of the engine's temporary file (see ReadRecords).
using Segment = download_test::Record;
inline std::vector<Segment> ReadSegments(const std::string& path) { return download_test::ReadRecords(path); }
using download_test::DoneBytes;

// A GET that fetches part of the package rather than probing the server: a
// range of more than 1 KiB.
bool IsTransfer(const download_test::HttpRequest& request);

// A package of one stored (not deflated) entry of `size` bytes whose
// content follows `seed`, written to `zipPath`; its bytes.
std::string WriteStoredPackage(const std::string& zipPath, size_t size, uint32_t seed);

// Files of the version `version` of the demo client's data.
PackageFiles VersionFiles(const std::string& version);

std::string Md5Hex(const std::string& path);
std::string Sha256Hex(const std::string& path);
std::string BinDir();

}  // namespace cycle_test
