// Fixture for running tavlinUpdater.exe as a real process: a private
// installation folder I with the updater as I/temp/Updater.exe beside
// zlib.dll, the stand-in client programs in I, and a private desktop user
// (home, XDG folders, runtime folder for the mutexes' lock files).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "user_env.h"

namespace tavlin_driver_test {

using tavlin_test::ChildProcess;
using tavlin_test::Environment;
using tavlin_test::RunResult;

// Bounds for waits; generous because sanitizer builds are slow.
constexpr int kProcessTimeoutMs = 30000;
constexpr int kWindowTimeoutSec = 15;

// Exit status of the updater's -1.
constexpr int kRefused = 255;

inline constexpr char kInstanceMutex[] = "TAVLIN_Win32_Instance_Mutex";
inline constexpr char kAutoUpdateMutex[] = "VREK_AutoUpdate";
inline constexpr char kGuardMutex[] = "{11B0C527-BB62-4BE3-9769-26491D9845B4}";

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The environment every process of the test gets; `lang` sets LANG,
    // LC_ALL and LC_MESSAGES.
    void SetLanguage(const std::string& lang);

    std::string Installed(const std::string& relative) const { return install_ + "/" + relative; }

    // Runs the updater with `args` to its end (killed at the time limit).
    RunResult RunUpdater(const std::vector<std::string>& args);
    ChildProcess StartUpdater(const std::vector<std::string>& args);

    // Starts the holder and waits until it has the mutex; fails the test
    // when it does not get it.
    ChildProcess HoldMutex(const std::string& name, double seconds);

    // Starts a stand-in program of the installation ("tavlin.exe",
    // "qelclient.exe").
    ChildProcess StartInstalled(const std::string& name);

    tavlin_test::TempDir tmp_{"tavlin-driver-"};
    tavlin_test::UserFolders user_;
    std::string install_;
    Environment env_;
};

}  // namespace tavlin_driver_test
