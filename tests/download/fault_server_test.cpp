// The scripted server itself, where the engine's tests depend on its
// exactness: request headers kept, If-Range answered as real servers do,
// and a connection cut after exactly N bytes even for a slow reader.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "fault_server.h"

namespace {

using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::Pattern;

struct Received {
    std::string head, body;
    bool reset = false;  // ended by RST rather than FIN
};

// Sends `request` to the server at `url` over a socket with a small receive
// buffer and reads the answer only after `readDelayMs`.
Received Exchange(const std::string& url, const std::string& request, int readDelayMs) {
    Received out;
    int port = std::stoi(url.substr(url.rfind(':') + 1));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 8192;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(readDelayMs));
    std::string all;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            all.append(buffer, static_cast<size_t>(n));
            continue;
        }
        out.reset = n < 0 && errno == ECONNRESET;
        break;
    }
    ::close(fd);
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return out;
    out.head = all.substr(0, end + 2);
    out.body = all.substr(end + 4);
    return out;
}

TEST(FaultServerTest, RequestHeadersAreKeptByLowerCaseName) {
    FaultServer server([](const HttpRequest&) { return download_test::Status(204); });
    Exchange(server.Url("/"),
             "GET /f.zip HTTP/1.1\r\nHost: x\r\nRANGE:  bytes=5-9 \r\nIf-Range: \"v1\"\r\nX-Empty:\r\n\r\n", 0);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/f.zip");
    EXPECT_EQ(requests[0].range, "bytes=5-9");
    EXPECT_EQ(requests[0].Header("range"), "bytes=5-9");
    EXPECT_EQ(requests[0].Header("if-range"), "\"v1\"");
    EXPECT_EQ(requests[0].Header("host"), "x");
    EXPECT_EQ(requests[0].Header("x-empty"), "");
    EXPECT_EQ(requests[0].Header("accept"), "");
    EXPECT_EQ(requests[0].headers.size(), 4u);
}

TEST(FaultServerTest, IfRangeJoinsRangesOnlyOfTheSameVersion) {
    const std::string body = Pattern(100);
    const std::string date = "Tue, 01 Apr 2025 10:00:00 GMT";
    struct Case {
        const char* name;
        std::string etag, ifRange;
        int status;
    };
    const Case cases[] = {
        {"no If-Range", "\"v1\"", "", 206},
        {"same strong ETag", "\"v1\"", "\"v1\"", 206},
        {"another ETag", "\"v2\"", "\"v1\"", 200},
        {"weak ETag never matches", "W/\"v1\"", "W/\"v1\"", 200},
        {"same Last-Modified", "", date, 206},
        {"another Last-Modified", "", "Tue, 01 Apr 2025 10:00:01 GMT", 200},
        {"a date while the server has only an ETag", "\"v1\"", "Mon, 31 Mar 2025 10:00:00 GMT", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequest request = download_test::RangeRequest("bytes=10-19");
        if (!c.ifRange.empty()) request.headers.emplace_back("if-range", c.ifRange);
        HttpReply reply = download_test::ServeVersion(request, body, c.etag, c.etag.empty() ? date : "");
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.status == 206 ? body.substr(10, 10) : body);
        auto has = [&](const std::string& line) {
            return std::find(reply.headers.begin(), reply.headers.end(), line) != reply.headers.end();
        };
        EXPECT_TRUE(c.etag.empty() ? has("Last-Modified: " + date) : has("ETag: " + c.etag));
    }
}

TEST(FaultServerTest, CutsComeAfterExactlyTheBytesAskedEvenForASlowReader) {
    const std::string body = Pattern(1 << 20);
    const long n = 256 * 1024;
    struct Case {
        const char* name;
        void (*cut)(HttpReply&, long);
        bool reset;
    };
    const Case cases[] = {
        {"reset", [](HttpReply& r, long after) { r.resetAfter = after; }, true},
        {"short body", [](HttpReply& r, long after) { r.closeAfter = after; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest&) {
            HttpReply reply;
            reply.body = body;
            c.cut(reply, n);
            return reply;
        });
        // The reader sleeps while the server has long filled its buffers.
        Received got = Exchange(server.Url("/"), "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 300);
        EXPECT_NE(got.head.find("Content-Length: 1048576\r\n"), std::string::npos);
        EXPECT_EQ(got.body.size(), static_cast<size_t>(n));
        EXPECT_TRUE(got.body == body.substr(0, n));
        EXPECT_EQ(got.reset, c.reset);
    }
}

}  // namespace
