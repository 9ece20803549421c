// The stand-in client programs and their record file, which the end-to-end
// tests rely on to see what the launcher passed.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "calls_file.h"
#include "child_process.h"
#include "platform/pipe.h"
#include "runtime_env.h"

namespace {

namespace fs = std::filesystem;
using tavlin_client::CallKind;
using tavlin_client::CallRecord;

constexpr const char* kPipe = "VOVAZU_tavlin";

TEST(CallsFile, RecordsSurviveAnyBytes) {
    const std::string nasty("a\nargs 3:x\0\npipe 1:", 19);
    std::string text = tavlin_client::FormatCallRecord(CallKind::Version, "2.1\n0") +
                       tavlin_client::FormatCallRecord(CallKind::Args, nasty) +
                       tavlin_client::FormatCallRecord(CallKind::Pipe, std::string("/abc\"\0", 6)) +
                       tavlin_client::FormatCallRecord(CallKind::Args, "");
    std::vector<CallRecord> got;
    ASSERT_TRUE(tavlin_client::ParseCalls(text, got));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, CallKind::Version);
    EXPECT_EQ(got[0].data, "2.1 0");
    EXPECT_EQ(got[1].kind, CallKind::Args);
    EXPECT_EQ(got[1].data, nasty);
    EXPECT_EQ(got[2].kind, CallKind::Pipe);
    EXPECT_EQ(got[2].data, std::string("/abc\"\0", 6));
    EXPECT_EQ(got[3].data, "");
}

TEST(CallsFile, DamagedTailKeepsTheRecordsBeforeIt) {
    const std::string good = "args 1:a\n";
    for (const char* tail : {"pipe 6:/ab", "pipe 2:abc\n", "pipe :x\n", "pipe 2x:ab\n", "pipe 99999999999999:a\n",
                             "version none", "hello\n"}) {
        std::vector<CallRecord> got;
        EXPECT_FALSE(tavlin_client::ParseCalls(good + tail, got)) << tail;
        ASSERT_EQ(got.size(), 1u) << tail;
        EXPECT_EQ(got[0].data, "a");
    }
    std::vector<CallRecord> none;
    EXPECT_TRUE(tavlin_client::ReadCallsFile("/nonexistent/tavlin.calls", none));
    EXPECT_TRUE(none.empty());
}

// An installation folder holding a copy of the stand-in client.
class ClientStandIn : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(install_);
        fs::copy_file(std::string(CLIENT_DIR) + "/tavlin.exe", install_ + "/tavlin.exe");
    }

    tavlin_test::ChildProcess Start(std::vector<std::string> args) {
        tavlin_test::SpawnOptions options;
        options.argv = {install_ + "/tavlin.exe"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        tavlin_test::ChildProcess child;
        EXPECT_TRUE(child.Start(options)) << child.error();
        return child;
    }

    std::vector<CallRecord> Records() {
        std::vector<CallRecord> r;
        EXPECT_TRUE(tavlin_client::ReadCallsFile(install_ + "/tavlin.calls", r));
        return r;
    }

    // Waits (bounded) until the file holds `count` records.
    std::vector<CallRecord> WaitRecords(size_t count) {
        std::vector<CallRecord> r;
        tavlin_test::WaitUntil([&] { return Records().size() >= count; }, 10000);
        r = Records();
        EXPECT_EQ(r.size(), count);
        return r;
    }

    bool Send(const std::string& message) {
        platform::PipeClient client;
        return client.Open(kPipe) && client.Write(message.data(), message.size());
    }

    platform_test::PrivateRuntimeDir rt_;
    std::string install_ = rt_.scratch() / "install";
};

TEST_F(ClientStandIn, RecordsVersionArgumentsAndPipeMessages) {
    ASSERT_TRUE(tavlin_test::WriteFileText(install_ + "/version.txt", "2.1.0\n"));
    tavlin_test::ChildProcess client = Start({"/room?id=7\"", "b"});
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Send(std::string("/abc\"\0", 6)); }, 10000));
    std::vector<CallRecord> r = WaitRecords(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].kind, CallKind::Version);
    EXPECT_EQ(r[0].data, "2.1.0");
    EXPECT_EQ(r[1].kind, CallKind::Args);
    EXPECT_EQ(r[1].data, "/room?id=7\" b");
    EXPECT_EQ(r[2].kind, CallKind::Pipe);
    EXPECT_EQ(r[2].data, std::string("/abc\"\0", 6));
}

TEST_F(ClientStandIn, SecondInstanceTakesThePipeWhenTheFirstDies) {
    tavlin_test::ChildProcess first = Start({});
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Send("one"); }, 10000));
    tavlin_test::ChildProcess second = Start({"x"});
    std::vector<CallRecord> r = WaitRecords(5);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].data, "none");
    EXPECT_EQ(r[1].data, "");
    EXPECT_TRUE(second.running()) << "an instance without the pipe keeps running";

    first.Kill();
    ASSERT_TRUE(first.Wait(5000));
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Send("two"); }, 10000));
    r = WaitRecords(6);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[5].kind, CallKind::Pipe);
    EXPECT_EQ(r[5].data, "two");
}

TEST_F(ClientStandIn, TerminationRemovesTheSocket) {
    tavlin_test::ChildProcess client = Start({});
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(platform::PipePath(kPipe)); }, 10000));
    ASSERT_EQ(::kill(client.pid(), SIGTERM), 0);
    ASSERT_TRUE(client.Wait(5000));
    EXPECT_EQ(client.exitCode(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(platform::PipePath(kPipe).c_str(), &st), 0);
}

TEST(ClientHelpers, RunUntilSignalled) {
    for (const char* name : {"tavlinCacheAssistant.exe", "qelclient.exe"}) {
        tavlin_test::SpawnOptions options;
        options.argv = {std::string(CLIENT_DIR) + "/" + name};
        tavlin_test::ChildProcess child;
        ASSERT_TRUE(child.Start(options)) << child.error();
        EXPECT_FALSE(child.Wait(200)) << name << " ended by itself";
        ::kill(child.pid(), SIGTERM);
        EXPECT_TRUE(child.Wait(5000)) << name;
    }
}

}  // namespace
