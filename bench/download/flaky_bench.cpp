// Flaky-link benchmark: a server on 127.0.0.1 that resets every connection
// once 256 KiB of its body have reached the client, and tavlin-fetch
// (5 connections) against curl and aria2c fetching the same file through it.
// curl resumes only when started again: "curl -C -" is restarted at once
// after each failure (at most 1000 starts), the fastest way curl gets
// through such a link (its own --retry waits at least a second each time).
// Reports medians of wall time, CPU time (user + system, every start of a
// tool added up) and peak RSS, the ratios to tavlin-fetch, and the requests
// each tool needed. A run that passes the deadline is killed and counted as
// not finished, with the share of the file the server had sent by then.
//
//   tavlin_bench_flaky OUT_DIR [RUNS] [MIB] [DEADLINE_S]
//   tavlin_bench_flaky --serve MIB     (serves until stdin closes)
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

using tavlin_bench::Clock;
using tavlin_bench::MillisecondsSince;
using tavlin_bench::Summarise;

// Failures throw, so that the server is stopped on the way out.
[[noreturn]] void Die(const std::string& message) { throw std::runtime_error(message); }

constexpr size_t kResetAfter = 256 * 1024;
constexpr int kMaxCurlStarts = 1000;
constexpr const char* kEtag = "\"flaky-1\"";
constexpr const char* kLastModified = "Mon, 01 Jan 2024 00:00:00 GMT";

// Waits until fd is ready or the server stops; false on stop.
bool WaitFor(int fd, short events, int stopFd, int timeoutMs = -1) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 && !fds[1].revents && fds[0].revents;
    }
}

bool SendAll(int fd, const char* data, size_t size, int stopFd) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, stopFd, 10000)) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Serves one file from memory, as nginx would (ETag, Last-Modified, ranges,
// If-Range), except that a connection is reset (RST) once kResetAfter body
// bytes of it have been taken by the client. Every answer closes its
// connection. One thread per connection; finished ones are joined as new
// ones arrive.
class FlakyServer {
public:
    explicit FlakyServer(std::string_view data) : data_(data) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        stopFd_ = ::eventfd(0, EFD_CLOEXEC);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listenFd_ < 0 || stopFd_ < 0 ||
            ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listenFd_, 128) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Close();
            Die("flaky server: cannot listen");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~FlakyServer() {
        uint64_t one = 1;
        (void)!::write(stopFd_, &one, sizeof one);
        acceptor_.join();
        for (auto& c : connections_) c->thread.join();
        Close();
    }
    FlakyServer(const FlakyServer&) = delete;
    FlakyServer& operator=(const FlakyServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/file.bin"; }

    struct Counts {
        long requests = 0;      // GET and HEAD
        long resets = 0;        // connections ended by RST
        long long bodyBytes = 0;  // accepted by the kernel for sending
    };
    Counts Take() {
        Counts c{requests_.exchange(0), resets_.exchange(0), bodyBytes_.exchange(0)};
        return c;
    }

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Close() {
        if (listenFd_ >= 0) ::close(listenFd_);
        if (stopFd_ >= 0) ::close(stopFd_);
        listenFd_ = stopFd_ = -1;
    }

    void AcceptLoop() {
        while (WaitFor(listenFd_, POLLIN, stopFd_)) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            for (auto it = connections_.begin(); it != connections_.end();) {
                if ((*it)->done) {
                    (*it)->thread.join();
                    it = connections_.erase(it);
                } else {
                    ++it;
                }
            }
            auto connection = std::make_unique<Connection>();
            Connection* c = connection.get();
            c->thread = std::thread([this, fd, c] {
                Serve(fd);
                ::close(fd);
                c->done = true;
            });
            connections_.push_back(std::move(connection));
        }
    }

    static std::string Header(const std::string& head, const char* lowerName) {
        std::string lower(head);
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        std::string key = std::string("\r\n") + lowerName + ":";
        size_t at = lower.find(key);
        if (at == std::string::npos) return "";
        at += key.size();
        size_t end = head.find("\r\n", at);
        std::string value = head.substr(at, end - at);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of(' ') + 1);
        return value;
    }

    void Serve(int fd) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            if (!WaitFor(fd, POLLIN, stopFd_, 10000)) return;
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            head.append(buffer, static_cast<size_t>(n));
        }
        ++requests_;
        const bool isHead = head.compare(0, 5, "HEAD ") == 0;
        const uint64_t size = data_.size();
        uint64_t first = 0, last = size - 1;
        int status = 200;
        std::string range = Header(head, "range");
        std::string ifRange = Header(head, "if-range");
        bool rangeValid = ifRange.empty() || ifRange == kEtag || ifRange == kLastModified;
        unsigned long long a = 0, b = 0;
        char dash = 0;
        int fields = std::sscanf(range.c_str(), "bytes=%llu%c%llu", &a, &dash, &b);
        if (rangeValid && fields >= 2 && dash == '-' && range.find(',') == std::string::npos) {
            if (a >= size) {
                std::string out = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                  std::to_string(size) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
                SendAll(fd, out.data(), out.size(), stopFd_);
                return;
            }
            if (fields == 3 && b < a) {
                // Not a valid range: the whole file, as servers do.
            } else {
                status = 206;
                first = a;
                last = fields == 3 ? std::min<uint64_t>(b, size - 1) : size - 1;
            }
        }
        const uint64_t length = last - first + 1;
        std::string out = status == 206 ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        out += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n";
        out += std::string("ETag: ") + kEtag + "\r\nLast-Modified: " + kLastModified + "\r\n";
        if (status == 206)
            out += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                   std::to_string(size) + "\r\n";
        out += "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
        if (!SendAll(fd, out.data(), out.size(), stopFd_) || isHead) return;

        const size_t body = static_cast<size_t>(std::min<uint64_t>(length, kResetAfter));
        const char* from = data_.data() + first;
        for (size_t sent = 0; sent < body;) {
            size_t piece = std::min<size_t>(body - sent, 65536);
            if (!SendAll(fd, from + sent, piece, stopFd_)) return;
            sent += piece;
            bodyBytes_ += static_cast<long long>(piece);
        }
        if (length <= kResetAfter) {
            ::shutdown(fd, SHUT_WR);
            return;
        }
        // The bytes still queued would be dropped by the reset: wait until
        // the client has them all (bounded), then reset.
        auto start = Clock::now();
        int queued = 0;
        while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && MillisecondsSince(start) < 5000)
            ::usleep(50);
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ++resets_;
    }

    std::string_view data_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    std::vector<std::unique_ptr<Connection>> connections_;  // acceptor's thread only
    std::atomic<long> requests_{0}, resets_{0};
    std::atomic<long long> bodyBytes_{0};
};

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    double peakRssMb = 0;
    int starts = 0;
    bool finished = false;
    FlakyServer::Counts counts;
};

// One start of argv in cwd, bounded by the deadline: exit code (or -1 when
// killed at the deadline), CPU and peak RSS added to the sample.
int RunOnce(const std::vector<std::string>& argv, const std::string& cwd, Clock::time_point deadline,
            Sample& sample) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
        ::setpgid(0, 0);
        if (::chdir(cwd.c_str()) != 0) _exit(126);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) Die("pidfd_open failed");
    bool killed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{pidfd, POLLIN, 0};
        if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) > 0) break;
        if (left <= 0 || Clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            killed = true;
            break;
        }
    }
    ::close(pidfd);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    sample.cpuMs += ms(usage.ru_utime) + ms(usage.ru_stime);
    sample.peakRssMb = std::max(sample.peakRssMb, usage.ru_maxrss / 1024.0);
    ++sample.starts;
    if (killed) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Tool {
    std::string name;
    std::vector<std::string> argv;  // the target is "out.bin" in the work folder
    int maxStarts = 1;              // started again after a failure, up to this count
};

// The file the server sends, in memory that a forked child does not get:
// a child's peak RSS counts the pages it had before exec, and 64 MiB of
// them would hide every tool's own memory.
class FileData {
public:
    explicit FileData(size_t size) : size_(size) {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) Die("mmap failed");
        data_ = static_cast<char*>(p);
        if (::madvise(data_, size, MADV_DONTFORK) != 0) {
            ::munmap(data_, size_);
            Die("madvise failed");
        }
        std::mt19937_64 random(12);
        for (size_t i = 0; i + 8 <= size; i += 8) {
            uint64_t word = random();
            std::memcpy(data_ + i, &word, 8);
        }
    }
    ~FileData() { ::munmap(data_, size_); }
    FileData(const FileData&) = delete;
    FileData& operator=(const FileData&) = delete;
    std::string_view view() const { return {data_, size_}; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

bool FileEquals(const std::string& path, std::string_view data) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    size_t at = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        size_t n = static_cast<size_t>(in.gcount());
        if (at + n > data.size() || std::memcmp(buffer.data(), data.data() + at, n) != 0) return false;
        at += n;
    }
    return at == data.size();
}

}  // namespace

int Bench(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0) {
        FileData file(static_cast<size_t>(std::atoi(argv[2])) * 1048576);
        FlakyServer server(file.view());
        std::printf("%s\n", server.Url().c_str());
        std::fflush(stdout);
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        auto counts = server.Take();
        std::printf("requests %ld, resets %ld, body bytes %lld\n", counts.requests, counts.resets, counts.bodyBytes);
        return 0;
    }
    if (argc < 2) Die("usage: tavlin_bench_flaky OUT_DIR [RUNS] [MIB] [DEADLINE_S]");
    const std::string out = fs::absolute(argv[1]).string();
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int mib = argc > 3 ? std::max(1, std::atoi(argv[3])) : 64;
    const int deadlineS = argc > 4 ? std::max(1, std::atoi(argv[4])) : 120;
    const std::string work = out + "/work";
    fs::create_directories(work);
    ::setenv("XDG_STATE_HOME", (out + "/state").c_str(), 1);
    const std::string fetch = fs::absolute(tavlin_bench::BinDir() + "/tavlin-fetch").string();

    FileData file(static_cast<size_t>(mib) * 1048576);
    const std::string_view data = file.view();
    FlakyServer server(data);
    const std::string url = server.Url();
    std::vector<Tool> tools = {
        {"tavlin-fetch", {fetch, url, "out.bin"}},
        {"curl -C - (restarted)", {"curl", "-s", "-C", "-", "-o", "out.bin", url}, kMaxCurlStarts},
        {"aria2c -x5 --max-tries=0",
         {"aria2c", "-x5", "-s5", "-k1M", "--max-tries=0", "--retry-wait=0", "-q", "--allow-overwrite=true",
          "--auto-file-renaming=false", "-d", ".", "-o", "out.bin", url}},
    };

    auto clean = [&] {
        for (const char* name : {"out.bin", "out.bin.dltmp", "out.bin.aria2"}) fs::remove(work + "/" + name);
    };
    std::map<std::string, std::vector<Sample>> samples;
    for (int run = 0; run < runs; ++run) {
        for (const auto& tool : tools) {  // interleaved, so drift hits every tool alike
            clean();
            ::sync();
            server.Take();
            Sample s;
            auto start = Clock::now();
            auto deadline = start + std::chrono::seconds(deadlineS);
            int code = -1;
            while (s.starts < tool.maxStarts) {
                code = RunOnce(tool.argv, work, deadline, s);
                if (code <= 0) break;
            }
            s.wallMs = MillisecondsSince(start);
            s.counts = server.Take();
            s.finished = code == 0;
            if (s.finished && !FileEquals(work + "/out.bin", data)) Die(tool.name + " wrote a wrong file");
            if (!s.finished && code != -1) Die(tool.name + " failed (exit " + std::to_string(code) + ")");
            samples[tool.name].push_back(s);
            std::fprintf(stderr, "run %d %-26s %s in %.0f ms, %d starts, %ld requests, %ld resets\n", run + 1,
                         tool.name.c_str(), s.finished ? "done" : "NOT DONE", s.wallMs, s.starts,
                         s.counts.requests, s.counts.resets);
        }
    }
    clean();

    auto stat = [&](const std::string& name, auto get) {
        std::vector<double> v;
        for (const auto& s : samples[name]) v.push_back(get(s));
        return Summarise(v);
    };
    auto wall = [](const Sample& s) { return s.wallMs; };
    auto cpu = [](const Sample& s) { return s.cpuMs; };
    auto rss = [](const Sample& s) { return s.peakRssMb; };
    auto requests = [](const Sample& s) { return static_cast<double>(s.counts.requests); };
    std::printf("%d MiB through a server that resets every connection after %zu KiB, 127.0.0.1, %d runs each\n"
                "(median [min-max]; a run not finished in %d s is killed and counted at %d s)\n\n",
                mib, kResetAfter / 1024, runs, deadlineS, deadlineS);
    std::printf("%-26s %22s %22s %18s %9s %7s %7s %7s\n", "tool", "wall ms", "cpu ms", "peak RSS MB", "requests",
                "wall x", "cpu x", "rss x");
    const std::string base = tools.front().name;
    for (const auto& tool : tools) {
        auto w = stat(tool.name, wall), c = stat(tool.name, cpu), r = stat(tool.name, rss),
             q = stat(tool.name, requests);
        int unfinished = 0;
        for (const auto& s : samples[tool.name]) unfinished += !s.finished;
        std::printf("%-26s %8.0f [%5.0f-%5.0f] %8.0f [%5.0f-%5.0f] %6.1f [%4.1f-%4.1f] %9.0f %7.2f %7.2f %7.2f",
                    tool.name.c_str(), w.median, w.min, w.max, c.median, c.min, c.max, r.median, r.min, r.max,
                    q.median, w.median / stat(base, wall).median, c.median / stat(base, cpu).median,
                    r.median / stat(base, rss).median);
        if (unfinished) {
            long long sent = 0;
            for (const auto& s : samples[tool.name]) sent = std::max(sent, s.counts.bodyBytes);
            std::printf("  %d run(s) not finished; at most %.0f%% of the file sent", unfinished,
                        sent * 100.0 / static_cast<double>(data.size()));
        }
        std::printf("\n");
    }
    return 0;
}

int main(int argc, char** argv) {
    try {
        return Bench(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "error: %s\n", error.what());
        return 1;
    }
}
