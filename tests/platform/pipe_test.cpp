#include "platform/pipe.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "child_process.h"
#include "runtime_env.h"

namespace {

using platform::PipeClient;
using platform::PipeServer;

constexpr const char* kName = "VOVAZU_tavlin";

struct stat Lstat(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_mode = 0;
    return st;
}

// A socket file with nobody listening, as a killed server leaves behind.
void MakeStaleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

// Sends `message` from another thread while this one receives it.
std::string RoundTrip(PipeServer& server, const std::string& message) {
    bool opened = false, written = false;
    std::thread sender([&] {
        PipeClient client;
        opened = client.Open(kName);
        if (opened) written = client.Write(message.data(), message.size());
    });
    std::string got;
    bool received = server.ReceiveOne(got, 10000);
    sender.join();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(written);
    EXPECT_TRUE(received);
    return got;
}

TEST(Pipe, MessageArrivesByteForByte) {
    platform_test::PrivateRuntimeDir rt;
    PipeServer server;
    ASSERT_TRUE(server.Listen(kName));
    const std::string launcherMessage("/abc\"\0", 6);
    EXPECT_EQ(RoundTrip(server, launcherMessage), launcherMessage);
    // Larger than a socket buffer, so the writer has to wait for the reader.
    std::string big(512 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    EXPECT_EQ(RoundTrip(server, big), big);
    EXPECT_EQ(RoundTrip(server, ""), "");
}

// What a server does with a connection, and whether the client's Finish
// may call the message delivered. Each runs on one thread: the client's
// connect and write complete before the server looks.
TEST(Pipe, FinishTellsWhetherTheServerTookTheMessage) {
    struct Case {
        const char* server;
        bool delivered;
    };
    const Case cases[] = {
        {"reads to the end and closes", true},
        {"reads the message and keeps the connection", true},
        {"accepts and closes without reading", false},
        {"stops listening without accepting", false},
        {"is alive but never accepts", true},  // still queued when time runs out
    };
    const std::string message("/abc\"\0", 6);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.server);
        platform_test::PrivateRuntimeDir rt;
        PipeServer server;
        ASSERT_TRUE(server.Listen(kName));
        PipeClient client;
        ASSERT_TRUE(client.Open(kName));
        ASSERT_TRUE(client.Write(message.data(), message.size()));

        const std::string what = c.server;
        platform::UniqueFd conn;
        if (what.starts_with("reads") || what.starts_with("accepts")) {
            conn.reset(::accept4(server.fd(), nullptr, nullptr, SOCK_CLOEXEC));
            ASSERT_TRUE(conn.valid());
        }
        if (what.starts_with("reads the message")) {
            char buf[16];
            ASSERT_EQ(::read(conn.get(), buf, sizeof buf), static_cast<ssize_t>(message.size()));
        }
        if (what.starts_with("reads to the end")) {
            // The end comes with Finish; read it from another thread.
            std::thread reader([fd = conn.get()] {
                char buf[16];
                while (::read(fd, buf, sizeof buf) > 0) {
                }
            });
            EXPECT_TRUE(client.Finish(10000));
            reader.join();
            continue;
        }
        if (what.starts_with("accepts")) conn.reset();
        if (what.starts_with("stops")) server.Close();
        EXPECT_EQ(client.Finish(what.starts_with("is alive") ? 100 : 10000), c.delivered);
    }
}

// A server that has gone after the connect: the write fails instead of
// killing the writer with SIGPIPE.
TEST(Pipe, WriteToAClosedConnectionFailsQuietly) {
    platform_test::PrivateRuntimeDir rt;
    PipeServer server;
    ASSERT_TRUE(server.Listen(kName));
    PipeClient client;
    ASSERT_TRUE(client.Open(kName));
    ::close(::accept4(server.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_FALSE(client.Write("/abc", 5));
    EXPECT_FALSE(client.Finish(1000)) << "a message that was not sent cannot have been delivered";
}

TEST(Pipe, SocketIsPrivateWhateverTheUmask) {
    platform_test::PrivateRuntimeDir rt;
    mode_t oldMask = ::umask(0);
    PipeServer server;
    bool listening = server.Listen(kName);
    ::umask(oldMask);
    ASSERT_TRUE(listening);
    struct stat st = Lstat(platform::PipePath(kName));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::getuid());
}

TEST(Pipe, OpenFailsAtOnceWithoutALiveServer) {
    platform_test::PrivateRuntimeDir rt;
    PipeClient client;
    EXPECT_FALSE(client.Open(kName));
    EXPECT_FALSE(client.Write("x", 1));

    MakeStaleSocket(platform::PipePath(kName));
    EXPECT_FALSE(client.Open(kName));

    ::unlink(platform::PipePath(kName).c_str());
    ASSERT_TRUE(tavlin_test::WriteFileText(platform::PipePath(kName), "not a socket"));
    EXPECT_FALSE(client.Open(kName));
}

TEST(Pipe, SocketOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a socket away";
    platform_test::PrivateRuntimeDir rt;
    PipeServer server;
    ASSERT_TRUE(server.Listen(kName));
    PipeClient client;
    ASSERT_TRUE(client.Open(kName));
    ASSERT_EQ(::chown(platform::PipePath(kName).c_str(), 65534, static_cast<gid_t>(-1)), 0);
    EXPECT_FALSE(client.Open(kName));
}

TEST(Pipe, OneLiveServerPerName) {
    platform_test::PrivateRuntimeDir rt;
    const std::string path = platform::PipePath(kName);
    {
        PipeServer first;
        ASSERT_TRUE(first.Listen(kName));
        PipeServer second;
        EXPECT_FALSE(second.Listen(kName));
        // The refused server must not have removed the live one's socket.
        PipeClient client;
        EXPECT_TRUE(client.Open(kName));
    }
    EXPECT_EQ(Lstat(path).st_mode, 0u) << "socket file left behind";

    MakeStaleSocket(path);
    PipeServer next;
    ASSERT_TRUE(next.Listen(kName));
    EXPECT_EQ(RoundTrip(next, "after stale"), "after stale");
}

TEST(Pipe, ListenKeepsFilesThatAreNotOurSockets) {
    platform_test::PrivateRuntimeDir rt;
    const std::string path = platform::PipePath(kName);
    ASSERT_TRUE(tavlin_test::WriteFileText(path, "data"));
    PipeServer server;
    EXPECT_FALSE(server.Listen(kName));
    EXPECT_EQ(tavlin_test::ReadFileText(path), "data");
}

TEST(Pipe, ReceiveWaitIsBounded) {
    platform_test::PrivateRuntimeDir rt;
    PipeServer server;
    std::string message = "unchanged";
    EXPECT_FALSE(server.ReceiveOne(message, 0)) << "not listening";
    ASSERT_TRUE(server.Listen(kName));
    EXPECT_FALSE(server.ReceiveOne(message, 100));
    EXPECT_EQ(message, "unchanged");
}

TEST(Pipe, PathNeedsATrustedFolderAndRoomInSunPath) {
    platform_test::PrivateRuntimeDir rt;
    EXPECT_EQ(platform::PipePath(kName), rt.path() + "/" + kName);
    EXPECT_EQ(platform::PipePath(""), "");
    EXPECT_EQ(platform::PipePath("a/b"), "");
    EXPECT_EQ(platform::PipePath(".."), "");
    EXPECT_EQ(platform::PipePath(std::string(sizeof(sockaddr_un::sun_path), 'n')), "");
    PipeServer server;
    EXPECT_FALSE(server.Listen(std::string(sizeof(sockaddr_un::sun_path), 'n')));
}

}  // namespace
