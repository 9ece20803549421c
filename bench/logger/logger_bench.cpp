// The updater's file logger against spdlog's asynchronous logger, writing
// the same lines to a file: the cost to the calling thread of one record
// (p50/p99/p99.9 ns), records per second as the callers see it, and records
// per second until everything is on disk, from 1 and 4 threads.
//
// usage: tavlin_bench_logger [total records per run] [repetitions]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "log/FileLogger.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSource = "logger_bench";
constexpr const char* kFunction = "Bench::Run";
constexpr int kLine = 123;

struct Result {
    double p50 = 0, p99 = 0, p999 = 0;  // ns per record, caller side
    double callerRate = 0;              // records/s while the callers log
    double diskRate = 0;                // records/s until all is written
};

// One logger under test: make it, log one record from any thread, and wait
// until everything logged is in the file.
struct Subject {
    std::string name;
    std::function<void(const std::string& folder)> open;
    std::function<void(int i, const char* text)> log;
    std::function<void()> finish;
};

double Percentile(std::vector<int64_t>& samples, double q) {
    size_t index = std::min(samples.size() - 1, static_cast<size_t>(q * static_cast<double>(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
    return static_cast<double>(samples[index]);
}

Result RunOnce(Subject& subject, int threads, int total, const std::string& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    subject.open(folder);
    const int perThread = total / threads;
    std::vector<std::vector<int64_t>> samples(static_cast<size_t>(threads));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto& mine = samples[static_cast<size_t>(t)];
            mine.resize(static_cast<size_t>(perThread));
            ++ready;
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            for (int i = 0; i < perThread; ++i) {
                auto start = Clock::now();
                subject.log(i, "abc");
                auto end = Clock::now();
                mine[static_cast<size_t>(i)] = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
            }
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    for (auto& w : workers) w.join();
    const auto logged = Clock::now();
    subject.finish();
    const auto written = Clock::now();

    std::vector<int64_t> all;
    for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
    const double records = static_cast<double>(perThread) * threads;
    Result r;
    r.p50 = Percentile(all, 0.50);
    r.p99 = Percentile(all, 0.99);
    r.p999 = Percentile(all, 0.999);
    r.callerRate = records / std::chrono::duration<double>(logged - start).count();
    r.diskRate = records / std::chrono::duration<double>(written - start).count();
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ClockOverheadNs() {
    std::vector<int64_t> s(100000);
    for (auto& x : s) {
        auto a = Clock::now();
        auto b = Clock::now();
        x = std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
    }
    return Percentile(s, 0.5);
}

uintmax_t FolderBytes(const std::string& folder) {
    uintmax_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) bytes += e.file_size();
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    char pattern[] = "/tmp/tavlin-logger-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string root = pattern;

    // The updater's logger: its folder follows XDG_STATE_HOME.
    std::unique_ptr<FileLogger> tavlin;
    Subject ours{"tavlin FileLogger", nullptr, nullptr, nullptr};
    ours.open = [&](const std::string& folder) {
        ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
        tavlin = std::make_unique<FileLogger>();
        tavlin->SetSizeLimit(0);
        tavlin->Open("bench");
    };
    ours.log = [&](int i, const char* text) {
        tavlin->Log(0, kSource, kLine, kFunction, "record %d of the benchmark, value %.2f text %s", i, 3.14, text);
    };
    ours.finish = [&] {
        tavlin->Drain(600000);
        tavlin.reset();
    };

    // spdlog's asynchronous logger with a file sink and the same line
    // layout. Its queue is bounded; `queue` records fit before callers block.
    auto spdlogSubject = [&](const char* name, size_t queue) {
        auto logger = std::make_shared<std::shared_ptr<spdlog::async_logger>>();
        auto pool = std::make_shared<std::shared_ptr<spdlog::details::thread_pool>>();
        Subject s{name, nullptr, nullptr, nullptr};
        s.open = [logger, pool, queue](const std::string& folder) {
            *pool = std::make_shared<spdlog::details::thread_pool>(queue, 1);
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(folder + "/spdlog.log", true);
            *logger = std::make_shared<spdlog::async_logger>("bench", sink, *pool,
                                                             spdlog::async_overflow_policy::block);
            (*logger)->set_pattern("%m %d %Y %H:%M:%S|0|%s|%#|%!|%v");
            (*logger)->set_level(spdlog::level::trace);
        };
        s.log = [logger](int i, const char* text) {
            (*logger)->log(spdlog::source_loc{kSource, kLine, kFunction}, spdlog::level::info,
                           "record {} of the benchmark, value {:.2f} text {}", i, 3.14, text);
        };
        // The pool's destructor works off its whole queue before it ends.
        s.finish = [logger, pool] {
            (*logger)->flush();
            logger->reset();
            pool->reset();
        };
        return s;
    };

    std::vector<Subject> subjects = {ours, spdlogSubject("spdlog async, queue 262144", 262144),
                                     spdlogSubject("spdlog async, queue 8192 (default)", 8192)};

    std::printf("records per run: %d, repetitions: %d (median shown), clock pair overhead: %.0f ns\n",
                total, repetitions, ClockOverheadNs());
    std::printf("%-36s %7s %10s %10s %10s %14s %14s %12s\n", "logger", "threads", "p50 ns", "p99 ns", "p99.9 ns",
                "caller rec/s", "on disk rec/s", "file bytes");
    for (int threads : {1, 4}) {
        for (Subject& subject : subjects) {
            std::vector<double> p50, p99, p999, caller, disk;
            uintmax_t bytes = 0;
            RunOnce(subject, threads, total / 10, root + "/warmup");
            for (int rep = 0; rep < repetitions; ++rep) {
                const std::string folder = root + "/run";
                Result r = RunOnce(subject, threads, total, folder);
                bytes = FolderBytes(folder);
                p50.push_back(r.p50);
                p99.push_back(r.p99);
                p999.push_back(r.p999);
                caller.push_back(r.callerRate);
                disk.push_back(r.diskRate);
            }
            std::printf("%-36s %7d %10.0f %10.0f %10.0f %14.0f %14.0f %12ju\n", subject.name.c_str(), threads,
                        Median(p50), Median(p99), Median(p999), Median(caller), Median(disk), bytes);
        }
    }
    fs::remove_all(root);
    return 0;
}
