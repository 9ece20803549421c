#include "platform/pipe.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/spawn.h"
#include "win_test_util.h"

namespace {

std::string UniqueName(const char* tag) {
    return std::string("VOVAZU_tavlin_test_") + tag + "_" + std::to_string(::GetCurrentProcessId());
}

// Serves one message on its own thread.
class Receiver {
public:
    explicit Receiver(platform::PipeServer& server, int timeoutMs = 20000)
        : thread_([&server, this, timeoutMs] { ok_ = server.ReceiveOne(message_, timeoutMs); }) {}
    ~Receiver() {
        if (thread_.joinable()) thread_.join();
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    bool Wait(std::string& message) {
        thread_.join();
        message = message_;
        return ok_;
    }

private:
    std::string message_;
    bool ok_ = false;
    std::thread thread_;
};

bool OpenWithRetry(platform::PipeClient& client, const std::string& name) {
    return win_test::WaitUntil([&] { return client.Open(name); }, 10000);
}

TEST(PipeWin, PathIsTheLocalPipeNamespace) {
    EXPECT_EQ(platform::PipePath("VOVAZU_tavlin"), "\\\\.\\pipe\\VOVAZU_tavlin");
    EXPECT_EQ(platform::PipePath(""), "");
    EXPECT_EQ(platform::PipePath("a\\b"), "");
    EXPECT_EQ(platform::PipePath("a/b"), "");
}

// The launcher's hand-over: the parameter text with its NUL, bytes that are
// not ASCII (UTF-8 Chinese and lone high bytes) included, and a message
// larger than the pipe's buffer.
TEST(PipeWin, MessagesArriveByteForByte) {
    std::string big(300 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    const std::string messages[] = {
        std::string("/room?id=7&name=课堂\"") + std::string(1, '\0'),
        std::string("\x80\xff\x00\x01 \xe4\xb8", 8),
        big,
    };
    const std::string name = UniqueName("bytes");
    platform::PipeServer server;
    ASSERT_TRUE(server.Listen(name));
    for (const std::string& sent : messages) {
        Receiver receiver(server);
        platform::PipeClient client;
        ASSERT_TRUE(OpenWithRetry(client, name));
        ASSERT_TRUE(client.Write(sent.data(), sent.size()));
        EXPECT_TRUE(client.Finish(10000));
        std::string got;
        ASSERT_TRUE(receiver.Wait(got));
        EXPECT_EQ(got.size(), sent.size());
        EXPECT_TRUE(got == sent) << "message of " << sent.size() << " bytes changed";
    }
}

// The hand-over between two processes: a started program sends the
// parameter text it was given, with its NUL, and the server gets exactly
// those bytes.
TEST(PipeWin, AnotherProcessHandsOverItsParameterText) {
    const std::string name = UniqueName("handover");
    platform::PipeServer server;
    ASSERT_TRUE(server.Listen(name));
    win_test::TempDir dir;
    win_test::ScopedEnv out(L"PROBE_OUT", (dir / L"probe.out").wstring());
    win_test::ScopedEnv pipe(L"PROBE_PIPE", win_test::W(name));
    const std::string params = "/room?id=7&name=课堂 \\a \"b\"";
    pid_t pid = platform::ShellOpenProgram(win_test::ProbePath(), params);
    ASSERT_GT(pid, 0);
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));

    std::string message;
    ASSERT_TRUE(server.ReceiveOne(message, 20000));
    EXPECT_EQ(message, params + std::string(1, '\0'));
    if (process) {
        DWORD code = 2;
        EXPECT_EQ(::WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
        ::GetExitCodeProcess(process, &code);
        EXPECT_EQ(code, 0u) << "the sender did not see its message taken";
        ::CloseHandle(process);
    }
}

TEST(PipeWin, FinishReportsAMessageLostWithTheServer) {
    if (win_test::UnderWine())
        GTEST_SKIP() << "Wine's pipe flush returns success once the server end is gone, so a message lost with "
                        "the server cannot be told from one it took";
    const std::string name = UniqueName("lost");
    platform::PipeServer server;
    ASSERT_TRUE(server.Listen(name));
    platform::PipeClient client;
    ASSERT_TRUE(client.Open(name));
    ASSERT_TRUE(client.Write("abc", 4));
    server.Close();
    EXPECT_FALSE(client.Finish(5000));
}

// A live server that has not read yet: the wait is bounded and the message
// counts as queued; the server still gets it afterwards.
TEST(PipeWin, FinishWaitIsBoundedForASlowServer) {
    const std::string name = UniqueName("slow");
    platform::PipeServer server;
    ASSERT_TRUE(server.Listen(name));
    platform::PipeClient client;
    ASSERT_TRUE(client.Open(name));
    ASSERT_TRUE(client.Write("abc", 4));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client.Finish(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    std::string message;
    ASSERT_TRUE(server.ReceiveOne(message, 10000));
    EXPECT_EQ(message, std::string("abc", 4));
}

TEST(PipeWin, OneLiveServerPerName) {
    const std::string name = UniqueName("one");
    platform::PipeServer first, second;
    ASSERT_TRUE(first.Listen(name));
    EXPECT_FALSE(second.Listen(name));
    first.Close();
    EXPECT_TRUE(second.Listen(name));
}

TEST(PipeWin, OpenFailsAtOnceWithoutAServerAndReceiveWaitIsBounded) {
    const std::string name = UniqueName("none");
    platform::PipeClient client;
    EXPECT_FALSE(client.Open(name));
    EXPECT_FALSE(client.Write("x", 1));
    EXPECT_FALSE(client.Finish(0));

    platform::PipeServer server;
    ASSERT_TRUE(server.Listen(name));
    std::string message = "kept";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.ReceiveOne(message, 200));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(message, "kept");
    // The server still works after a timed-out wait.
    Receiver receiver(server);
    ASSERT_TRUE(OpenWithRetry(client, name));
    ASSERT_TRUE(client.Write("ok", 2));
    EXPECT_TRUE(client.Finish(10000));
    ASSERT_TRUE(receiver.Wait(message));
    EXPECT_EQ(message, "ok");
}

}  // namespace
