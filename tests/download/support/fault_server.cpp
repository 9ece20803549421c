#include "fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace download_test {

namespace {

constexpr size_t kMaxRequestHeader = 64 * 1024;
constexpr int kPollMs = 50;
// Longest wait for the client to take the bytes sent before a reset.
constexpr auto kDrainLimit = std::chrono::seconds(30);

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 408: return "Request Timeout";
        case 410: return "Gone";
        case 416: return "Range Not Satisfiable";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Whatever";
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Waits until `fd` is ready for `events` or the server stops; false on stop.
bool WaitFor(int fd, short events, int stopFd) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        int n = ::poll(fds, 2, kPollMs);
        if (n < 0 && errno != EINTR) return false;
        if (fds[1].revents) return false;
        if (fds[0].revents) return true;
    }
}

bool SendAll(int fd, const char* data, size_t size, int stopFd) {
    while (size > 0) {
        if (!WaitFor(fd, POLLOUT, stopFd)) return false;
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Waits until the client has taken (acknowledged) every byte sent, so that
// a reset cannot throw away data still queued; false on stop or time-out.
bool Drain(int fd, int stopFd) {
    auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    for (;;) {
        int pending = 0;
        if (::ioctl(fd, SIOCOUTQ, &pending) != 0 || pending == 0) return true;
        pollfd stop{stopFd, POLLIN, 0};
        if (::poll(&stop, 1, 1) != 0 || std::chrono::steady_clock::now() > deadline) return false;
    }
}

// Until the client gives up or the server stops.
void WaitForClose(int fd, int stopFd) {
    char buffer[4096];
    while (WaitFor(fd, POLLIN, stopFd)) {
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerCaseName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerCaseName) return value;
    return "";
}

HttpRequest RangeRequest(const std::string& range) {
    HttpRequest request;
    request.method = "GET";
    request.range = range;
    if (!range.empty()) request.headers.emplace_back("range", range);
    return request;
}

bool AskedRange(const HttpRequest& request, uint64_t size, uint64_t* first, uint64_t* last) {
    const std::string prefix = "bytes=";
    if (request.range.compare(0, prefix.size(), prefix) != 0) return false;
    std::string ranges = request.range.substr(prefix.size());
    size_t dash = ranges.find('-');
    if (dash == std::string::npos || dash == 0 || ranges.find(',') != std::string::npos) return false;
    if (ranges.find_first_not_of("0123456789-") != std::string::npos) return false;
    *first = std::stoull(ranges.substr(0, dash));
    *last = dash + 1 < ranges.size() ? std::stoull(ranges.substr(dash + 1)) : (size > 0 ? size - 1 : 0);
    if (*last < *first) return false;  // not a valid range: ignored, as servers do
    if (size > 0 && *last >= size) *last = size - 1;
    return true;
}

HttpReply ServeFile(const HttpRequest& request, const std::string& file, bool honourRange) {
    HttpReply reply;
    reply.body = file;
    uint64_t first = 0, last = 0;
    if (!honourRange || !AskedRange(request, file.size(), &first, &last)) return reply;
    if (first >= file.size()) {
        reply.status = 416;
        reply.body.clear();
        reply.headers.push_back("Content-Range: bytes */" + std::to_string(file.size()));
        return reply;
    }
    return Partial(file, first, last, file.size());
}

HttpReply Partial(const std::string& file, uint64_t first, uint64_t last, uint64_t total) {
    HttpReply reply;
    reply.status = 206;
    if (first < file.size()) reply.body = file.substr(first, last - first + 1);
    reply.headers.push_back("Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                            std::to_string(total));
    return reply;
}

HttpReply ServeVersion(const HttpRequest& request, const std::string& body, const std::string& etag,
                       const std::string& lastModified, bool honourRange) {
    std::string ifRange = request.Header("if-range");
    if (!ifRange.empty()) {
        bool isTag = ifRange[0] == '"' || ifRange.compare(0, 2, "W/") == 0;
        // Only a strong validator may join ranges of one version.
        bool strongTag = !etag.empty() && etag[0] == '"';
        bool matches = isTag ? strongTag && ifRange == etag : !lastModified.empty() && ifRange == lastModified;
        if (!matches) honourRange = false;
    }
    HttpReply reply = ServeFile(request, body, honourRange);
    if (!etag.empty()) reply.headers.push_back("ETag: " + etag);
    if (!lastModified.empty()) reply.headers.push_back("Last-Modified: " + lastModified);
    return reply;
}

HttpReply ServeVersion(const HttpRequest& request, const FileVersion& version, bool honourRange) {
    return ServeVersion(request, version.body, version.etag, version.lastModified, honourRange);
}

HttpReply Status(int status) {
    HttpReply reply;
    reply.status = status;
    return reply;
}

HttpReply StatusWith(int status, std::vector<std::string> headers) {
    HttpReply reply;
    reply.status = status;
    reply.headers = std::move(headers);
    reply.body = std::to_string(status) + "\n";
    return reply;
}

HttpReply RetryAfter(int status, const std::string& value) {
    return StatusWith(status, {"Retry-After: " + value});
}

HttpReply RedirectLoop(const HttpRequest& request) {
    return Redirect(302, request.path);
}

HttpReply Redirect(int status, const std::string& location) {
    HttpReply reply;
    reply.status = status;
    if (!location.empty()) reply.headers.push_back("Location: " + location);
    return reply;
}

std::string RefusingUrl(const std::string& path) {
    // A port the kernel just handed out and nobody took again.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 9;  // discard: nothing listens there either
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<char>(x);
    }
    return data;
}

FaultServer::FaultServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || stopFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0) ::close(listenFd_);
        if (stopFd_ >= 0) ::close(stopFd_);
        throw std::runtime_error("fault server: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

FaultServer::~FaultServer() {
    uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(connections_);
    }
    for (auto& thread : threads) thread.join();
    ::close(listenFd_);
    ::close(stopFd_);
}

std::string FaultServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> FaultServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<HttpRequest> FaultServer::Gets() const {
    std::vector<HttpRequest> gets;
    for (const auto& request : Requests())
        if (request.method == "GET") gets.push_back(request);
    return gets;
}

std::vector<std::string> FaultServer::GetRanges() const {
    std::vector<std::string> ranges;
    for (const auto& request : Requests())
        if (request.method == "GET") ranges.push_back(request.range);
    return ranges;
}

void FaultServer::AcceptLoop() {
    while (WaitFor(listenFd_, POLLIN, stopFd_)) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, fd] { Serve(fd); });
    }
}

void FaultServer::Serve(int fd) {
    std::string pending;
    while (ServeOne(fd, pending)) {
    }
    ::close(fd);
}

bool FaultServer::ServeOne(int fd, std::string& pending) {
    std::string head;
    head.swap(pending);
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHeader) {
        if (!WaitFor(fd, POLLIN, stopFd_)) return false;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        head.append(buffer, static_cast<size_t>(n));
    }
    if (size_t end = head.find("\r\n\r\n"); end != std::string::npos) {
        pending = head.substr(end + 4);
        head.resize(end + 4);
    }

    HttpRequest request;
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t space1 = requestLine.find(' ');
    size_t space2 = requestLine.find(' ', space1 + 1);
    request.method = requestLine.substr(0, space1);
    request.path = requestLine.substr(space1 + 1, space2 - space1 - 1);
    for (size_t at = lineEnd + 2; at < head.size();) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos || end == at) break;
        std::string line = head.substr(at, end - at);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            request.headers.emplace_back(Lower(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1)));
            if (request.headers.back().first == "range" && request.range.empty())
                request.range = request.headers.back().second;
        }
        at = end + 2;
    }

    HttpReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request.index = static_cast<int>(requests_.size());
        requests_.push_back(request);
        reply = script_(request);
    }

    if (reply.reset) {
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        return false;
    }
    if (reply.silent) {
        WaitForClose(fd, stopFd_);
        return false;
    }

    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    for (const auto& line : reply.headers) out += line + "\r\n";
    if (reply.contentLength) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += reply.keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
    bool ok = SendAll(fd, out.data(), out.size(), stopFd_);
    if (ok && reply.bodyDelayMs > 0) {
        pollfd stop{stopFd_, POLLIN, 0};
        ok = ::poll(&stop, 1, static_cast<int>(reply.bodyDelayMs)) == 0;
    }

    if (ok && request.method != "HEAD") {
        auto cut = [&](long after) { return after >= 0 && static_cast<size_t>(after) < reply.body.size(); };
        size_t limit = reply.body.size();
        for (long after : {reply.resetAfter, reply.stallAfter, reply.closeAfter})
            if (cut(after)) limit = std::min(limit, static_cast<size_t>(after));
        ok = SendAll(fd, reply.body.data(), limit, stopFd_);
        if (ok && cut(reply.resetAfter) && limit == static_cast<size_t>(reply.resetAfter)) {
            // A reset discards what the client has not yet taken.
            Drain(fd, stopFd_);
            linger reset{1, 0};  // close with RST, not FIN
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        } else if (ok && cut(reply.stallAfter) && limit == static_cast<size_t>(reply.stallAfter)) {
            WaitForClose(fd, stopFd_);
        } else if (ok && reply.keepAlive && limit == reply.body.size()) {
            return true;
        }
    }
    return ok && reply.keepAlive && request.method == "HEAD";
}

}  // namespace download_test
