// Fixture for driving TavlinLaunch.exe as a real process: a private
// installation folder holding copies of the launcher and the stand-in client
// programs, and a private desktop user (home, XDG folders, runtime folder)
// passed to every process the test starts.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "user_env.h"
#include "xvfb.h"

namespace tavlin_e2e {

using tavlin_test::ChildProcess;
using tavlin_test::Environment;
using tavlin_test::RunResult;

// Time limits for waits; generous because sanitizer builds are slow.
constexpr int kProcessTimeoutMs = 30000;
constexpr int kRecordTimeoutMs = 10000;

// One record the stand-in client wrote to tavlin.calls.
struct ClientCall {
    std::string kind;  // "args", "pipe" or "version"
    std::string data;  // the joined arguments, or the pipe message as received
};

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Path inside the installation folder.
    std::string Installed(const std::string& relative) const { return install_ + "/" + relative; }
    const std::string& install() const { return install_; }
    std::string Scratch(const std::string& relative) const { return tmp_ / relative; }

    // Runs the launcher from the installation folder with `args` as its
    // arguments, from an unrelated current directory, to its end.
    RunResult RunLauncher(const std::vector<std::string>& args);
    // Starts it without waiting.
    ChildProcess StartLauncher(const std::vector<std::string>& args);

    // Starts a stand-in client (tavlin.exe of the installation) as an already
    // running client and waits until it serves its pipe.
    ChildProcess StartServingClient();
    // Starts a program that only sleeps, under the executable name `name`,
    // from a folder outside the installation.
    ChildProcess StartSleeper(const std::string& name);
    // The same as another user (uid kOtherUser). The result is not running
    // when this process may not switch users (not root, or in a user
    // namespace that maps root only).
    ChildProcess StartOtherUsersSleeper(const std::string& name);
    static constexpr uid_t kOtherUser = 65534;
    // Starts the pipe peer (tests/e2e/pipe_peer.cpp, mode "drop" or "hold")
    // as a running "tavlin.exe" outside the installation, and waits until it
    // serves the pipe.
    ChildProcess StartPipePeer(const std::string& mode);

    // Kills the clients started from the installation (not other programs
    // there), so that the next launcher run finds no client running.
    void StopClients();

    // Records in tavlin.calls so far, in order.
    std::vector<ClientCall> Calls() const;
    // Waits for the count of records of `kind` to reach `count`.
    bool WaitForCalls(const std::string& kind, size_t count,
                      int timeoutMs = kRecordTimeoutMs) const;
    std::vector<ClientCall> CallsOf(const std::string& kind) const;

    // Zips the folder `from` (entries relative to it) into `zipPath`.
    void ZipFolder(const std::string& from, const std::string& zipPath);

    std::string PipeSocket() const { return user_.runtimeDir + "/VOVAZU_tavlin"; }

    tavlin_test::TempDir tmp_{"tavlin-e2e-"};
    tavlin_test::UserFolders user_;
    std::string install_;
    Environment env_;
};

// The same with a private X server, for the question box.
class LauncherWithDisplayTest : public LauncherTest {
protected:
    void SetUp() override;

    // Waits for the question window titled `title` and presses `key` in it.
    void AnswerQuestion(const std::string& title, const std::string& key);

    tavlin_test::XvfbServer xvfb_;
};

std::string BinDir();

// The text after the prefix "[ORB][I][Y-M-D h:m:s] " of every launcher log
// record in `output`, in order; lines without that prefix are left out.
std::vector<std::string> LogRecords(const std::string& output);

// The value of `key` in the first line "key=value" of `text`; empty when none.
std::string KeyValue(const std::string& text, const std::string& key);

}  // namespace tavlin_e2e
