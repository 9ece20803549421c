// The ordinary update as a whole: temp/Updater.exe of an installation
// fetches a 100 MiB package from nginx on 127.0.0.1 and verifies its MD5
// digest, against aria2c -x5 -s5 -k5M followed by md5sum on the same
// package in the same run. The updater runs off-screen (TAVLIN_OFFSCREEN=1);
// "verified" is the moment it registers InstallZebApp.dll, which it does
// right after a matching digest, seen with inotify. Also shown: when the
// engine's temporary file first records every byte (its trailer, read every
// 5 ms) and when "update.zip" takes its place. Reports medians of the
// times, CPU (user + system) and peak RSS.
//
// Also in every run: an updater built with a trusted key (the test-only
// key A) verifying the same package with -sha256= and -sig= besides its
// MD5, against the plain updater's MD5 alone.
//
// The window's language follows LANG, zh_CN.UTF-8 unless LOCALE is given
// (en_US.UTF-8 shows the English window).
//
//   tavlin_bench_update OUT_DIR [RUNS [LOCALE]]
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"
#include "child_process.h"
#include "nginx_server.h"
#include "signing/PackageSignature.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace {

using tavlin_bench::Clock;
using tavlin_bench::MillisecondsSince;
using tavlin_bench::Summarise;

// Failures throw, so that nginx is stopped on the way out.
[[noreturn]] void Die(const std::string& message) { throw std::runtime_error(message); }

constexpr size_t kPackageData = 100u * 1048576;
constexpr int kRunTimeoutMs = 120000;

struct Usage {
    double cpuMs = 0;
    double peakRssMb = 0;
};

Usage FromRusage(const rusage& usage) {
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_maxrss / 1024.0};
}

std::string DigestHex(const std::string& path, const EVP_MD* md) {
    std::ifstream in(path, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!in || !ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr)) Die("cannot digest " + path);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(in.gcount()));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

std::string Md5Hex(const std::string& path) { return DigestHex(path, EVP_md5()); }

// The package's signature by the test-only key A.
std::string SignWithTestKey(const std::string& path) {
    std::ifstream in(std::string(TAVLIN_TEST_KEYS_DIR) + "/test-only-key-a.pem");
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string signature, error;
    if (!tavlin::signing::SignStatement(
            pem, tavlin::signing::SignedStatement(DigestHex(path, EVP_sha256()), fs::file_size(path)), signature,
            error))
        Die("cannot sign the package: " + error);
    return signature;
}

// The package: one stored entry of random bytes, made once and reused.
void MakePackage(const std::string& path) {
    if (fs::exists(path) && fs::file_size(path) > kPackageData) return;
    tavlin_test::ZipEntry entry;
    entry.name = "lessons/lessons.dat";
    entry.deflate = false;
    entry.data.resize(kPackageData);
    std::mt19937_64 random(7);
    for (size_t i = 0; i + 8 <= entry.data.size(); i += 8) {
        uint64_t word = random();
        std::memcpy(&entry.data[i], &word, 8);
    }
    tavlin_test::WriteZip(path + ".part", {entry});
    fs::rename(path + ".part", path);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Starts argv with exactly `env` in `cwd`; stdout goes to `outFd` (or
// /dev/null when it is -1).
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& cwd, int outFd = -1) {
    auto args = Pointers(argv);
    auto envp = Pointers(env);
    pid_t pid = ::fork();
    if (pid < 0) Die("fork failed");
    if (pid == 0) {
        if (::chdir(cwd.c_str()) != 0) _exit(126);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(outFd >= 0 ? outFd : null, 1);
        ::execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

std::vector<std::string> InheritedEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    return env;
}

// Runs a program to its end: wall time, CPU and peak RSS; its stdout into
// `out` when given.
struct ToolSample {
    double wallMs;
    Usage usage;
};
ToolSample RunTool(const std::vector<std::string>& argv, const std::string& cwd, std::string* out = nullptr) {
    int pipeFds[2] = {-1, -1};
    if (out && ::pipe2(pipeFds, O_CLOEXEC) != 0) Die("pipe failed");
    auto start = Clock::now();
    pid_t pid = Spawn(argv, InheritedEnvironment(), cwd, pipeFds[1]);
    if (out) {
        ::close(pipeFds[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<size_t>(n));
        ::close(pipeFds[0]);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
    ToolSample s{MillisecondsSince(start), FromRusage(usage)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die(argv[0] + " failed");
    return s;
}

// True when the engine's temporary file records every byte as received:
// its trailer is 12 bytes (start, length, done) per segment and then the
// data length, little-endian.
bool TemporaryFileComplete(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool complete = false;
    struct stat info {};
    uint32_t dataLength = 0;
    if (::fstat(fd, &info) == 0 && info.st_size >= 4 &&
        ::pread(fd, &dataLength, 4, info.st_size - 4) == 4 && dataLength > 0 &&
        static_cast<uint64_t>(info.st_size) >= uint64_t{dataLength} + 4) {
        const size_t records = (static_cast<size_t>(info.st_size) - 4 - dataLength) / 12;
        std::vector<uint32_t> fields(records * 3);
        if (records > 0 && ::pread(fd, fields.data(), records * 12, dataLength) == static_cast<ssize_t>(records * 12)) {
            uint64_t done = 0;
            for (size_t i = 0; i < records; ++i) done += fields[i * 3 + 2];
            complete = done == dataLength;
        }
    }
    ::close(fd);
    return complete;
}

struct UpdaterSample {
    double lastByteMs = 0;    // the temporary file holds every byte
    double downloadedMs = 0;  // update.zip in place
    double verifiedMs = 0;    // InstallZebApp.dll registered after the digest matched
    Usage usage;
};

class Installation {
public:
    // `updater`: the program installed as temp/Updater.exe.
    Installation(const std::string& root, const std::string& updater, const std::string& locale)
        : root_(root), locale_(locale) {
        fs::remove_all(root);
        fs::create_directories(Work(""));
        for (const char* d : {"/home", "/state", "/runtime"}) fs::create_directories(root + d);
        fs::permissions(root + "/runtime", fs::perms::owner_all, fs::perm_options::replace);
        const std::string bin = tavlin_bench::BinDir();
        fs::copy_file(updater, Work("Updater.exe"));
        fs::copy_file(bin + "/zlib.dll", Work("zlib.dll"));
        fs::copy_file(bin + "/InstallZebApp.dll", Work("InstallZebApp.dll"));
    }
    std::string Work(const std::string& name) const { return root_ + "/install/temp/" + name; }

    void Clean() const {
        for (const char* name : {"update.zip", "update.zip.dltmp", "InstallZebApp.registered"}) fs::remove(Work(name));
    }

    // `checks`: further job keys (-sha256=, -sig=).
    UpdaterSample Run(const std::string& url, const std::string& md5, const std::vector<std::string>& checks = {}) const {
        Clean();
        int watch = ::inotify_init1(IN_CLOEXEC);
        if (watch < 0 || ::inotify_add_watch(watch, Work("").c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
            Die("inotify failed");
        std::vector<std::string> env = {"HOME=" + root_ + "/home",         "XDG_STATE_HOME=" + root_ + "/state",
                                        "XDG_RUNTIME_DIR=" + root_ + "/runtime", "TAVLIN_OFFSCREEN=1",
                                        "LANG=" + locale_,                  "PATH=/usr/bin:/bin"};
        auto start = Clock::now();
        std::vector<std::string> argv = {Work("Updater.exe"), "-url=" + url, "-md5=" + md5, "-newver=2.0"};
        argv.insert(argv.end(), checks.begin(), checks.end());
        pid_t pid = Spawn(argv, env, root_ + "/home");
        UpdaterSample s;
        while (s.verifiedMs == 0) {
            pollfd p{watch, POLLIN, 0};
            // A short timeout: the temporary file is looked at between events.
            if (MillisecondsSince(start) > kRunTimeoutMs || ::poll(&p, 1, 5) < 0) break;
            if (s.lastByteMs == 0 && TemporaryFileComplete(Work("update.zip.dltmp")))
                s.lastByteMs = MillisecondsSince(start);
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) Die("the updater ended before verifying the package");
            alignas(inotify_event) char buffer[4096];
            ssize_t n = p.revents & POLLIN ? ::read(watch, buffer, sizeof buffer) : 0;
            for (ssize_t at = 0; at < n;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                std::string name = event->len ? event->name : "";
                if (name == "update.zip" && s.downloadedMs == 0) s.downloadedMs = MillisecondsSince(start);
                if (name == "InstallZebApp.registered") s.verifiedMs = MillisecondsSince(start);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        ::close(watch);
        // The window would now wait for the user: end it.
        ::kill(pid, SIGKILL);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        if (s.verifiedMs == 0) Die("the updater did not verify the package in time");
        s.usage = FromRusage(usage);
        return s;
    }

private:
    std::string root_;
    std::string locale_;
};

void PrintRow(const char* name, const std::vector<double>& values, double base) {
    auto s = Summarise(values);
    std::printf("  %-56s %8.0f [%6.0f-%6.0f]", name, s.median, s.min, s.max);
    if (base > 0) std::printf("  %5.2fx", s.median / base);
    std::printf("\n");
}

}  // namespace

int Bench(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_update OUT_DIR [RUNS [LOCALE]]");
    const std::string out = fs::absolute(argv[1]).string();
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string locale = argc > 3 ? argv[3] : "zh_CN.UTF-8";
    fs::create_directories(out + "/www");
    const std::string package = out + "/www/update.zip";
    MakePackage(package);
    const std::string md5 = Md5Hex(package);
    const std::vector<std::string> checks = {"-sha256=" + DigestHex(package, EVP_sha256()),
                                             "-sig=" + SignWithTestKey(package)};
    Installation installation(out + "/updater", tavlin_bench::BinDir() + "/tavlinUpdater.exe", locale);
    Installation signedInstallation(out + "/updater-signed", TAVLIN_SIGNED_UPDATER, locale);
    const std::string peerDir = out + "/peer";
    fs::create_directories(peerDir);

    download_test::NginxServer nginx(out + "/www");
    const std::string url = nginx.Url("/update.zip");
    std::vector<double> upLastByte, upDownloaded, upVerified, upCpu, upRss, peerFetch, peerTotal, peerCpu, peerRss;
    std::vector<double> sigLastByte, sigDownloaded, sigVerified, sigCpu, sigRss;
    for (int run = 0; run < runs; ++run) {
        // Rotate who goes first, so drift on the machine hits all alike.
        for (int slot = 0; slot < 3; ++slot) {
            const int turn = (slot + run) % 3;
            ::sync();
            if (turn == 2) {
                UpdaterSample s = signedInstallation.Run(url, md5, checks);
                if (s.lastByteMs > 0) sigLastByte.push_back(s.lastByteMs);
                sigDownloaded.push_back(s.downloadedMs);
                sigVerified.push_back(s.verifiedMs);
                sigCpu.push_back(s.usage.cpuMs);
                sigRss.push_back(s.usage.peakRssMb);
            } else if (turn == 0) {
                UpdaterSample s = installation.Run(url, md5);
                if (run == 0 && Md5Hex(installation.Work("update.zip")) != md5) Die("the updater wrote a wrong file");
                // The 5 ms look at the trailer can miss a file that was
                // complete and renamed in between: only seen moments count.
                if (s.lastByteMs > 0) upLastByte.push_back(s.lastByteMs);
                upDownloaded.push_back(s.downloadedMs);
                upVerified.push_back(s.verifiedMs);
                upCpu.push_back(s.usage.cpuMs);
                upRss.push_back(s.usage.peakRssMb);
            } else {
                fs::remove(peerDir + "/update.zip");
                fs::remove(peerDir + "/update.zip.aria2");
                ToolSample fetch = RunTool({"aria2c", "-x5", "-s5", "-k5M", "-q", "--allow-overwrite=true",
                                            "--auto-file-renaming=false", "-d", ".", "-o", "update.zip", url},
                                           peerDir);
                std::string sum;
                ToolSample digest = RunTool({"md5sum", "update.zip"}, peerDir, &sum);
                if (sum.compare(0, md5.size(), md5) != 0) Die("aria2c fetched a wrong file");
                peerFetch.push_back(fetch.wallMs);
                peerTotal.push_back(fetch.wallMs + digest.wallMs);
                peerCpu.push_back(fetch.usage.cpuMs + digest.usage.cpuMs);
                peerRss.push_back(std::max(fetch.usage.peakRssMb, digest.usage.peakRssMb));
            }
        }
    }
    installation.Clean();
    signedInstallation.Clean();
    fs::remove(peerDir + "/update.zip");

    const double base = Summarise(peerTotal).median;
    std::printf("ordinary update of a %.0f MiB package from nginx on 127.0.0.1, %d runs each, LANG=%s\n",
                static_cast<double>(fs::file_size(package)) / 1048576, runs, locale.c_str());
    std::printf("times in ms, median [min-max]; x: against aria2c + md5sum\n\n");
    std::printf("updater (temp/Updater.exe, off-screen)\n");
    const std::string lastByte = "start -> last byte in the temporary file (" + std::to_string(upLastByte.size()) +
                                 " of " + std::to_string(runs) + " runs seen)";
    PrintRow(lastByte.c_str(), upLastByte, 0);
    PrintRow("start -> package in place", upDownloaded, 0);
    PrintRow("start -> digest matched (verified)", upVerified, base);
    PrintRow("CPU, user + system", upCpu, 0);
    const double md5Only = Summarise(upVerified).median;
    std::printf("updater built with a trusted key, -md5= -sha256= -sig= (x: against the MD5 alone above)\n");
    PrintRow("start -> last byte in the temporary file (runs seen)", sigLastByte, Summarise(upLastByte).median);
    PrintRow("start -> package in place", sigDownloaded, Summarise(upDownloaded).median);
    PrintRow("start -> digests and signature checked (verified)", sigVerified, md5Only);
    PrintRow("CPU, user + system", sigCpu, Summarise(upCpu).median);
    std::printf("  peak RSS MB, median: %.1f\n", Summarise(sigRss).median);
    std::printf("aria2c -x5 -s5 -k5M, then md5sum\n");
    PrintRow("aria2c", peerFetch, 0);
    PrintRow("aria2c + md5sum", peerTotal, base);
    PrintRow("CPU, user + system", peerCpu, 0);
    auto rss = [](const std::vector<double>& v) { return Summarise(v); };
    std::printf("\npeak RSS MB, median [min-max]: updater %.1f [%.1f-%.1f], aria2c/md5sum %.1f [%.1f-%.1f]\n",
                rss(upRss).median, rss(upRss).min, rss(upRss).max, rss(peerRss).median, rss(peerRss).min,
                rss(peerRss).max);
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
