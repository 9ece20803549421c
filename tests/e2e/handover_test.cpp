// The launcher with a client already running: it asks in a real window
// under a private X server, then either replaces the client or hands the
// link's parameters to it over its pipe.
#include <string>

#include "launcher_fixture.h"

namespace tavlin_e2e {
namespace {

constexpr const char* kQuotedLink = "\"tavlin://room?id=7\"";

// The pipe message: the parameter text and one NUL.
std::string PipeMessage(const std::string& text) { return text + std::string(1, '\0'); }

// The running client's records of its own start; the tests look at what
// comes after them.
constexpr size_t kStartRecords = 1;

TEST_F(LauncherWithDisplayTest, OkReplacesTheRunningClient) {
    ChildProcess old = StartServingClient();
    ChildProcess launcher = StartLauncher({kQuotedLink});
    AnswerQuestion("Prompt", "Return");

    ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
    EXPECT_EQ(launcher.exitCode(), 0) << launcher.Stderr();
    EXPECT_TRUE(old.Wait(kRecordTimeoutMs)) << "the old client was not stopped";
    EXPECT_TRUE(old.signalled());

    ASSERT_TRUE(WaitForCalls("args", kStartRecords + 1)) << "no new client";
    EXPECT_EQ(CallsOf("args").back().data, "/room?id=7\"");
    EXPECT_TRUE(CallsOf("pipe").empty());
}

// Cancel keeps the running client and gives it the parameters, byte for
// byte; no second client is started.
TEST_F(LauncherWithDisplayTest, CancelHandsParametersOverThePipe) {
    ChildProcess client = StartServingClient();
    ChildProcess launcher = StartLauncher({kQuotedLink});
    AnswerQuestion("Prompt", "Escape");

    ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
    EXPECT_EQ(launcher.exitCode(), 0) << launcher.Stderr();
    ASSERT_TRUE(WaitForCalls("pipe", 1));
    EXPECT_EQ(CallsOf("pipe").front().data, PipeMessage("/room?id=7\""));

    EXPECT_TRUE(client.Alive());
    EXPECT_EQ(CallsOf("args").size(), kStartRecords);
    EXPECT_EQ(tavlin_test::ProcessesBelow(install()), std::vector<pid_t>{client.pid()});
}

TEST_F(LauncherWithDisplayTest, ChineseUserIsAskedInChinese) {
    env_.Set("LANG", "zh_CN.UTF-8");
    env_.Set("LC_ALL", "zh_CN.UTF-8");
    env_.Set("LC_MESSAGES", "zh_CN.UTF-8");
    ChildProcess client = StartServingClient();
    ChildProcess launcher = StartLauncher({"tavlin://课堂?id=9"});
    AnswerQuestion("提示", "Escape");

    ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
    EXPECT_EQ(launcher.exitCode(), 0) << launcher.Stderr();
    ASSERT_TRUE(WaitForCalls("pipe", 1));
    EXPECT_EQ(CallsOf("pipe").front().data, PipeMessage("/课堂?id=9"));
}

// A running "tavlin.exe" that serves no pipe: Cancel fails with 1 and
// nothing is started.
TEST_F(LauncherWithDisplayTest, CancelWithoutPipeExitsOne) {
    ChildProcess sleeper = StartSleeper("tavlin.exe");
    ChildProcess launcher = StartLauncher({kQuotedLink});
    AnswerQuestion("Prompt", "Escape");

    ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
    EXPECT_EQ(launcher.exitCode(), 1) << launcher.Stderr();
    EXPECT_TRUE(sleeper.Alive());
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(tavlin_test::ProcessesBelow(install()).empty());
}

// The parameters count as handed over only when the client took them: one
// that accepts the connection and closes it unread lost them (exit 1); one
// that reads the message and keeps the connection open has them (exit 0).
TEST_F(LauncherWithDisplayTest, HandOverSaysWhetherTheClientTookTheMessage) {
    struct Case {
        const char* mode;
        int exitCode;
    };
    for (const Case c : {Case{"drop", 1}, Case{"hold", 0}}) {
        SCOPED_TRACE(c.mode);
        ChildProcess peer = StartPipePeer(c.mode);
        ChildProcess launcher = StartLauncher({kQuotedLink});
        AnswerQuestion("Prompt", "Escape");
        ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
        EXPECT_EQ(launcher.exitCode(), c.exitCode) << launcher.Stderr();
        if (c.exitCode == 0) {
            EXPECT_EQ(peer.Stdout(), PipeMessage("/room?id=7\""));
        }
        EXPECT_TRUE(tavlin_test::ProcessesBelow(install()).empty()) << "a client was started";
        peer.Kill();
        ASSERT_TRUE(peer.Wait(kProcessTimeoutMs));
    }
}

// OK replaces every client of the user, and only those: another user's
// "tavlin.exe" on the same machine is neither asked about nor stopped.
TEST_F(LauncherWithDisplayTest, OkLeavesAnotherUsersClientRunning) {
    ChildProcess theirs = StartOtherUsersSleeper("tavlin.exe");
    if (!theirs.running()) GTEST_SKIP() << "cannot run a process as another user here";
    ChildProcess old = StartServingClient();
    ChildProcess second = StartSleeper("tavlin.exe");
    ChildProcess launcher = StartLauncher({kQuotedLink});
    AnswerQuestion("Prompt", "Return");

    ASSERT_TRUE(launcher.Wait(kProcessTimeoutMs));
    EXPECT_EQ(launcher.exitCode(), 0) << launcher.Stderr();
    EXPECT_TRUE(old.Wait(kRecordTimeoutMs)) << "the user's client was not stopped";
    EXPECT_TRUE(second.Wait(kRecordTimeoutMs)) << "the user's second client was not stopped";
    ASSERT_TRUE(WaitForCalls("args", kStartRecords + 1)) << "no new client";
    EXPECT_TRUE(theirs.Alive()) << "another user's client was stopped";
}

class HandOverNothingTest : public LauncherWithDisplayTest {
protected:
    // Answers Cancel to a launcher run with `args`; returns its exit code.
    int RunCancelled(const std::vector<std::string>& args) {
        ChildProcess launcher = StartLauncher(args);
        AnswerQuestion("Prompt", "Escape");
        EXPECT_TRUE(launcher.Wait(kProcessTimeoutMs));
        stderr_ = launcher.Stderr();
        return launcher.exitCode();
    }

    // Proves that nothing arrived before: a marker sent afterwards is the
    // first message the client receives (it takes connections in order).
    void ExpectMarkerIsFirstMessage() {
        ASSERT_EQ(RunCancelled({"tavlin://marker"}), 0);
        ASSERT_TRUE(WaitForCalls("pipe", 1));
        auto pipe = CallsOf("pipe");
        ASSERT_EQ(pipe.size(), 1u);
        EXPECT_EQ(pipe.front().data, PipeMessage("/marker"));
    }

    std::string stderr_;
};

// Without a lower-case "tavlin://" the hand-over road has nothing to send.
TEST_F(HandOverNothingTest, SchemeInCapitalsSendsNothing) {
    ChildProcess client = StartServingClient();
    EXPECT_EQ(RunCancelled({"TAVLIN://abc"}), 0) << stderr_;
    ExpectMarkerIsFirstMessage();
    EXPECT_EQ(CallsOf("args").size(), kStartRecords);
}

// The pipe takes at most 10240 bytes with the NUL: the longest text that
// fits goes over whole; one more byte is refused with a log record instead
// of being cut short.
TEST_F(HandOverNothingTest, TooLongParameterTextIsRefused) {
    ChildProcess client = StartServingClient();
    const std::string longest = "/" + std::string(10238, 'a');  // 10239 bytes + NUL
    ASSERT_EQ(RunCancelled({"tavlin:/" + longest}), 0) << stderr_;
    ASSERT_TRUE(WaitForCalls("pipe", 1));
    EXPECT_EQ(CallsOf("pipe").front().data, PipeMessage(longest));

    EXPECT_EQ(RunCancelled({"tavlin:/" + longest + "b"}), 1);
    auto records = LogRecords(stderr_);
    ASSERT_EQ(records.size(), 1u) << stderr_;
    EXPECT_NE(records[0].find("too long"), std::string::npos) << "the record does not say why";

    ASSERT_EQ(RunCancelled({"tavlin://marker"}), 0);
    ASSERT_TRUE(WaitForCalls("pipe", 2));
    auto pipe = CallsOf("pipe");
    ASSERT_EQ(pipe.size(), 2u);
    EXPECT_EQ(pipe.back().data, PipeMessage("/marker"));
}

}  // namespace
}  // namespace tavlin_e2e
