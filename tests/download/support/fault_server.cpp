#include "fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace download_test {

namespace {

constexpr size_t kMaxRequestHeader = 64 * 1024;
constexpr int kPollMs = 50;

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 307: return "Temporary Redirect";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
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

}  // namespace

HttpReply ServeFile(const HttpRequest& request, const std::string& file, bool honourRange) {
    HttpReply reply;
    reply.body = file;
    const std::string prefix = "bytes=";
    if (!honourRange || request.range.compare(0, prefix.size(), prefix) != 0) return reply;
    std::string ranges = request.range.substr(prefix.size());
    size_t dash = ranges.find('-');
    if (dash == std::string::npos || dash == 0 || ranges.find(',') != std::string::npos) return reply;
    unsigned long long first = std::stoull(ranges.substr(0, dash));
    unsigned long long last = dash + 1 < ranges.size() ? std::stoull(ranges.substr(dash + 1)) : file.size() - 1;
    if (last < first) return reply;  // not a valid range: ignored, as servers do
    if (first >= file.size()) {
        reply.status = 416;
        reply.body.clear();
        reply.headers.push_back("Content-Range: bytes */" + std::to_string(file.size()));
        return reply;
    }
    if (last >= file.size()) last = file.size() - 1;
    reply.status = 206;
    reply.body = file.substr(first, last - first + 1);
    reply.headers.push_back("Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                            std::to_string(file.size()));
    return reply;
}

HttpReply Status(int status) {
    HttpReply reply;
    reply.status = status;
    return reply;
}

HttpReply Redirect(int status, const std::string& location) {
    HttpReply reply;
    reply.status = status;
    if (!location.empty()) reply.headers.push_back("Location: " + location);
    return reply;
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
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHeader) {
        if (!WaitFor(fd, POLLIN, stopFd_)) {
            ::close(fd);
            return;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        head.append(buffer, static_cast<size_t>(n));
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
        if (Lower(line.substr(0, 6)) == "range:") {
            size_t value = line.find_first_not_of(' ', 6);
            request.range = value == std::string::npos ? "" : line.substr(value);
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

    if (reply.silent) {
        // Until the client gives up or the server stops.
        while (WaitFor(fd, POLLIN, stopFd_)) {
            if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
        }
        ::close(fd);
        return;
    }

    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
    for (const auto& line : reply.headers) out += line + "\r\n";
    if (reply.contentLength) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    bool ok = SendAll(fd, out.data(), out.size(), stopFd_);

    if (ok && request.method != "HEAD") {
        size_t limit = reply.body.size();
        if (reply.resetAfter >= 0) limit = std::min(limit, static_cast<size_t>(reply.resetAfter));
        if (reply.stallAfter >= 0) limit = std::min(limit, static_cast<size_t>(reply.stallAfter));
        ok = SendAll(fd, reply.body.data(), limit, stopFd_);
        if (ok && reply.resetAfter >= 0 && static_cast<size_t>(reply.resetAfter) < reply.body.size()) {
            linger reset{1, 0};  // close with RST, not FIN
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        } else if (ok && reply.stallAfter >= 0 && static_cast<size_t>(reply.stallAfter) < reply.body.size()) {
            // Silent until the client gives up or the server stops.
            while (WaitFor(fd, POLLIN, stopFd_)) {
                if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
            }
        }
    }
    ::close(fd);
}

}  // namespace download_test
