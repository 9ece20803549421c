// Download benchmark: tavlin-fetch against curl, aria2c -x5 -s5 -k5M and
// axel -n 5, each fetching the same 256 MiB file from nginx on 127.0.0.1
// into the same folder. Reports medians of wall time, CPU time (user +
// system) and peak RSS over RUNS runs, the ratios to tavlin-fetch, and the
// bytes tavlin-fetch fetches twice when killed (SIGKILL) half-way.
//
//   tavlin_bench_download OUT_DIR [RUNS]
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "child_process.h"
#include "nginx_server.h"

namespace {

using tavlin_bench::Clock;
// Failures throw, so that the nginx servers are stopped on the way out.
[[noreturn]] void Die(const std::string& message) { throw std::runtime_error(message); }
using tavlin_bench::Summarise;

constexpr uint64_t kFileSize = 256ull * 1048576;

struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    double peakRssMb = 0;
    int exitCode = -1;
};

// Runs argv to its end; wall time from fork to reap, CPU and peak RSS from wait4.
Sample Measure(const std::vector<std::string>& argv, const std::string& cwd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) _exit(126);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
    Sample s;
    s.wallMs = tavlin_bench::MillisecondsSince(start);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    s.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    s.peakRssMb = usage.ru_maxrss / 1024.0;
    s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return s;
}

uint64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

bool SameContent(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0)
            return false;
    }
    return fa.eof() && fb.eof();
}

void MakeSource(const std::string& path) {
    if (FileSize(path) == kFileSize) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(42);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t written = 0; written < kFileSize; written += block.size() * 8) {
        for (auto& word : block) word = random();
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
    if (!out) Die("cannot write " + path);
}

// Segment bytes nginx sent for `uri`: ranged GETs other than the range probe,
// or the whole-file GET of a tool that does not use ranges.
unsigned long long SegmentBytes(const std::vector<download_test::NginxAccess>& log, const std::string& uri) {
    unsigned long long sum = 0;
    for (const auto& a : log)
        if (a.uri == uri && a.method == "GET" && a.range != "bytes=1-1024" && !a.range.empty()) sum += a.bodyBytes;
    return sum;
}

struct Tool {
    std::string name;
    std::vector<std::string> argv;  // the target is "out.bin" in the work folder
};

}  // namespace

int Bench(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_download OUT_DIR [RUNS]");
    std::string out = std::filesystem::absolute(argv[1]).string();
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::filesystem::create_directories(out + "/www");
    std::string work = out + "/work";
    std::filesystem::create_directories(work);
    std::string source = out + "/www/file.bin";
    MakeSource(source);
    std::string fetch = std::filesystem::absolute(tavlin_bench::BinDir() + "/tavlin-fetch").string();
    ::setenv("XDG_STATE_HOME", (out + "/state").c_str(), 1);

    download_test::NginxServer nginx(out + "/www");
    std::string url = nginx.Url("/file.bin");
    std::vector<Tool> tools = {
        {"tavlin-fetch", {fetch, url, "out.bin"}},
        {"curl", {"curl", "-s", "-o", "out.bin", url}},
        {"aria2c -x5 -s5 -k5M",
         {"aria2c", "-x5", "-s5", "-k5M", "-q", "--allow-overwrite=true", "--auto-file-renaming=false", "-d", ".",
          "-o", "out.bin", url}},
        {"axel -n 5", {"axel", "-n", "5", "-q", "-o", "out.bin", url}},
    };

    std::map<std::string, std::vector<Sample>> samples;
    auto clean = [&] {
        for (const char* name : {"out.bin", "out.bin.dltmp", "out.bin.aria2", "out.bin.st"})
            std::filesystem::remove(work + "/" + name);
    };
    for (int run = 0; run < runs; ++run) {
        for (const auto& tool : tools) {  // interleaved, so drift hits every tool alike
            clean();
            ::sync();
            Sample s = Measure(tool.argv, work);
            if (s.exitCode != 0 || FileSize(work + "/out.bin") != kFileSize)
                Die(tool.name + " failed (exit " + std::to_string(s.exitCode) + ")");
            if (run == 0 && !SameContent(work + "/out.bin", source)) Die(tool.name + " wrote a wrong file");
            samples[tool.name].push_back(s);
        }
    }
    clean();

    auto median = [&](const std::string& name, double Sample::*field) {
        std::vector<double> v;
        for (const auto& s : samples[name]) v.push_back(s.*field);
        return Summarise(v);
    };
    std::printf("download of 256 MiB from nginx on 127.0.0.1, %d runs each (median [min-max])\n\n", runs);
    std::printf("%-22s %22s %22s %18s %8s %8s %8s\n", "tool", "wall ms", "cpu ms", "peak RSS MB", "wall x", "cpu x",
                "rss x");
    auto base = [&](double Sample::*field) { return median("tavlin-fetch", field).median; };
    for (const auto& tool : tools) {
        auto w = median(tool.name, &Sample::wallMs), c = median(tool.name, &Sample::cpuMs),
             r = median(tool.name, &Sample::peakRssMb);
        std::printf("%-22s %8.0f [%5.0f-%5.0f] %8.0f [%5.0f-%5.0f] %6.1f [%4.1f-%4.1f] %8.2f %8.2f %8.2f\n",
                    tool.name.c_str(), w.median, w.min, w.max, c.median, c.min, c.max, r.median, r.min, r.max,
                    w.median / base(&Sample::wallMs), c.median / base(&Sample::cpuMs),
                    r.median / base(&Sample::peakRssMb));
    }

    // Killed half-way: a rate-limited server makes "half-way" a moment
    // one can hit; the second run completes from the full-speed server.
    download_test::NginxServer slow(out + "/www", {25 * 1048576, "", ""});
    clean();
    std::string target = work + "/out.bin";
    tavlin_test::ChildProcess first;
    tavlin_test::SpawnOptions spawn;
    spawn.argv = {fetch, slow.Url("/file.bin"), target};
    if (!first.Start(spawn)) Die("cannot start tavlin-fetch");
    // The trailer: 12 bytes (start, length, done) per piece, then the data
    // length, little-endian; as many pieces as fit after the data.
    auto recorded = [&] {
        std::ifstream in(target + ".dltmp", std::ios::binary | std::ios::ate);
        if (!in) return 0ull;
        const long long size = static_cast<long long>(in.tellg());
        auto le32 = [](const unsigned char* at) {
            return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                   static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
        };
        unsigned char word[4] = {};
        if (size < 4 || !in.seekg(size - 4) || !in.read(reinterpret_cast<char*>(word), 4)) return 0ull;
        const long long records = (size - 4 - static_cast<long long>(le32(word))) / 12;
        if (records <= 0 || records > 16) return 0ull;
        std::vector<unsigned char> trailer(static_cast<size_t>(records) * 12);
        if (!in.seekg(size - 4 - records * 12) ||
            !in.read(reinterpret_cast<char*>(trailer.data()), static_cast<std::streamsize>(trailer.size())))
            return 0ull;
        unsigned long long done = 0;
        for (long long k = 0; k < records; ++k) done += le32(&trailer[static_cast<size_t>(k) * 12 + 8]);
        return done;
    };
    if (!tavlin_test::WaitUntil([&] { return recorded() >= kFileSize / 2; }, 60000, 2)) Die("no progress");
    ::kill(first.pid(), SIGKILL);
    first.Wait(10000);
    unsigned long long kept = recorded();
    size_t mark = nginx.Access().size();
    Sample second = Measure({fetch, url, "out.bin"}, work);
    if (second.exitCode != 0 || !SameContent(target, source)) Die("resumed download failed");
    // The killed run's aborted requests reach the log once nginx notices.
    tavlin_test::WaitUntil([&] { return SegmentBytes(slow.Access(), "/file.bin") > 0; }, 5000);
    // Its transfers cut by the kill are logged last: wait until the log stays as it is.
    size_t logged = 0;
    tavlin_test::WaitUntil(
        [&] {
            size_t n = slow.Access().size();
            bool same = n == logged;
            logged = n;
            return same;
        },
        5000, 500);
    unsigned long long before = SegmentBytes(slow.Access(), "/file.bin");
    auto log = nginx.Access();
    log.erase(log.begin(), log.begin() + static_cast<long>(std::min(mark, log.size())));
    unsigned long long after = SegmentBytes(log, "/file.bin");
    long long twice = static_cast<long long>(before + after) - static_cast<long long>(kFileSize);
    std::printf("\nkill -9 at %.1f%% recorded: first run sent %llu bytes, second run %llu bytes (resumed in %.0f ms);"
                " fetched twice: %lld bytes\n",
                kept * 100.0 / kFileSize, before, after, second.wallMs, twice);
    clean();
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
