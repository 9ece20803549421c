// A scripted HTTP/1.1 server on 127.0.0.1 for the download engine's tests:
// every request is recorded (method, path, Range header) and answered by a
// script, which can ignore ranges, redirect, omit Content-Length, send more
// than was asked, reset the connection or go silent after N body bytes.
// Every answer closes its connection.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace download_test {

struct HttpRequest {
    int index = 0;       // 0 for the first request the server saw
    std::string method;  // "GET", "HEAD"
    std::string path;
    std::string range;   // the Range header's value, "" when none
};

struct HttpReply {
    int status = 200;
    std::vector<std::string> headers;  // extra lines, "Name: value"
    std::string body;
    bool contentLength = true;  // send "Content-Length: <body size>"
    long resetAfter = -1;       // reset the connection after this many body bytes
    long stallAfter = -1;       // go silent after this many body bytes
    bool silent = false;        // send nothing at all, not even the status line
};

// The answer a plain file server gives: 200 with the whole file, or, when
// `honourRange` and the request asks for a satisfiable "bytes=A-B" or
// "bytes=A-", 206 with that part and its Content-Range (416 past the end).
HttpReply ServeFile(const HttpRequest& request, const std::string& file, bool honourRange = true);

// An answer of `status` with an empty body.
HttpReply Status(int status);

// A redirect answer; an empty location sends none.
HttpReply Redirect(int status, const std::string& location);

class FaultServer {
public:
    using Script = std::function<HttpReply(const HttpRequest&)>;

    // Listens on 127.0.0.1 at a free port; throws when it cannot.
    explicit FaultServer(Script script);
    // Ends silent answers and waits for every connection thread.
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    std::string Url(const std::string& path) const;
    std::vector<HttpRequest> Requests() const;
    // The Range headers of the GET requests, in arrival order.
    std::vector<std::string> GetRanges() const;

private:
    void AcceptLoop();
    void Serve(int fd);

    Script script_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

// Bytes that differ at every offset in a way a shifted copy cannot match.
std::string Pattern(size_t size, uint32_t seed = 1);

}  // namespace download_test
