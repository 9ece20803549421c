#include "platform/debug_output.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "temp_dir.h"

namespace {

// syslog() always writes to /dev/log. A child in a mount namespace of its
// own gets a /dev whose "log" leads to our socket, so the test sees exactly
// what the call sends without touching the machine's logging.
TEST(DebugOutput, SendsOneDebugRecordWithPidToSyslog) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev";
    tavlin_test::TempDir dir;
    std::string sockPath = dir / "log";
    int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sockPath.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0 || ::symlink(sockPath.c_str(), "/dev/log") != 0)
            ::_exit(2);
        platform::OutputDebugStringA("wWinMain: par: /abc\" 检测 %s");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "mount namespaces not allowed here";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    pollfd p{sock, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char buf[2048];
    ssize_t n = ::recv(sock, buf, sizeof buf, 0);
    ::close(sock);
    ASSERT_GT(n, 0);
    std::string record(buf, static_cast<size_t>(n));
    // <15> is LOG_USER | LOG_DEBUG; the text goes through verbatim ("%s" too).
    EXPECT_EQ(record.substr(0, 4), "<15>") << record;
    EXPECT_NE(record.find("[" + std::to_string(pid) + "]: wWinMain: par: /abc\" 检测 %s"), std::string::npos)
        << record;
}

}  // namespace
