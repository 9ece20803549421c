// A scripted HTTP/1.1 server on 127.0.0.1 for the download engine's tests:
// every request is recorded (method, path, every header) and answered by a
// script, which can ignore ranges, serve versions of a file with their
// validators, redirect, omit Content-Length, send more than was asked, reset
// or close the connection or go silent after N body bytes. An answer closes
// its connection unless it asks to keep it for the next request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace download_test {

struct HttpRequest {
    int index = 0;       // 0 for the first request the server saw
    std::string method;  // "GET", "HEAD"
    std::string path;
    std::string range;   // the Range header's value, "" when none
    // Every header line in arrival order: the name in lower case, the value
    // without the spaces around it.
    std::vector<std::pair<std::string, std::string>> headers = {};

    // The value of the first header of that name (lower case), "" when none.
    std::string Header(const std::string& lowerCaseName) const;
};

// A GET request with only a Range header, to build answers from.
HttpRequest RangeRequest(const std::string& range);

// The byte range a "bytes=A-B" or "bytes=A-" request asks of a file of
// `size` bytes (B clipped to the end); false for anything else.
bool AskedRange(const HttpRequest& request, uint64_t size, uint64_t* first, uint64_t* last);

struct HttpReply {
    int status = 200;
    std::vector<std::string> headers;  // extra lines, "Name: value"
    std::string body;
    bool contentLength = true;  // send "Content-Length: <body size>"
    // Reset the connection (RST) once this many body bytes have reached the
    // client; until then the connection stays open.
    long resetAfter = -1;
    long stallAfter = -1;       // go silent after this many body bytes
    long closeAfter = -1;       // close cleanly (FIN) after this many body bytes: a short body
    bool silent = false;        // send nothing at all, not even the status line
    bool reset = false;         // reset the connection at once, sending nothing
    // Leave out "Connection: close" and read the next request on the same
    // connection once the answer is sent.
    bool keepAlive = false;
    long bodyDelayMs = 0;       // pause between the header and the body
};

// The answer a plain file server gives: 200 with the whole file, or, when
// `honourRange` and the request asks for a satisfiable "bytes=A-B" or
// "bytes=A-", 206 with that part and its Content-Range (416 past the end).
HttpReply ServeFile(const HttpRequest& request, const std::string& file, bool honourRange = true);

// One version of a file as a server keeps it. An empty etag or
// lastModified is not sent.
struct FileVersion {
    std::string body;
    std::string etag;          // with its quotes: "\"v1\"" or "W/\"v1\""
    std::string lastModified;  // an HTTP date
};

// ServeFile with the version's ETag and Last-Modified, and If-Range as real
// servers treat it: a ranged request is answered 206 only when it carries no
// If-Range, or one that equals the strong ETag or the Last-Modified exactly;
// otherwise (a weak or other ETag, another date) 200 with the whole file.
HttpReply ServeVersion(const HttpRequest& request, const std::string& body, const std::string& etag,
                       const std::string& lastModified, bool honourRange = true);
HttpReply ServeVersion(const HttpRequest& request, const FileVersion& version, bool honourRange = true);

// 206 with bytes [first, last] of `file` (as far as it has them) and a
// Content-Range that claims "bytes first-last/total": with a shifted first
// or another total this is the answer that must not be written.
HttpReply Partial(const std::string& file, uint64_t first, uint64_t last, uint64_t total);

// An answer of `status` with an empty body.
HttpReply Status(int status);
// An answer of `status` with extra header lines and a short body.
HttpReply StatusWith(int status, std::vector<std::string> headers);
// 429 or 503 with "Retry-After: <value>" (seconds or an HTTP date).
HttpReply RetryAfter(int status, const std::string& value);

// A redirect answer; an empty location sends none. The location may name
// another scheme ("ftp://...", "file:///...").
HttpReply Redirect(int status, const std::string& location);
// A redirect to the request's own path: a loop without end.
HttpReply RedirectLoop(const HttpRequest& request);

class FaultServer {
public:
    // Called for one request at a time (under the server's lock), so a
    // script may keep state, such as the version it serves, without its own.
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
    // The GET requests, in arrival order.
    std::vector<HttpRequest> Gets() const;

private:
    void AcceptLoop();
    void Serve(int fd);
    // Reads one request (from `pending`, the bytes read past the last one,
    // then the connection) and answers it; true when the connection stays
    // open for another.
    bool ServeOne(int fd, std::string& pending);

    Script script_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

// An http address on 127.0.0.1 at a port where nothing listens: every
// connection is refused.
std::string RefusingUrl(const std::string& path);

// Bytes that differ at every offset in a way a shifted copy cannot match.
std::string Pattern(size_t size, uint32_t seed = 1);

}  // namespace download_test
