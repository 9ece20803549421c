// Time from spawning the launcher (no update pending, no client running)
// until the stand-in client has recorded the arguments it was started with.
//
//   tavlin_bench_start WORKDIR [RUNS] [OWN] [OTHERS]
//
// The launcher looks at every process in /proc, so the machine's process
// count is part of its start. To measure the same thing everywhere (and in a
// private PID namespace, where a client running elsewhere cannot make the
// launcher ask), the benchmark first starts a desktop's worth of idle
// processes: OWN of its own user (default 150) and OTHERS of another user,
// uid 65534 (default 150; only when it may switch users).
//
// The client's record file is watched with inotify, so the end of each run
// is seen as it happens rather than at the next poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "bench_util.h"
#include "calls_file.h"
#include "child_process.h"
#include "user_env.h"

namespace fs = std::filesystem;
using namespace tavlin_bench;

namespace {

constexpr uid_t kOtherUser = 65534;

size_t ArgsRecords(const std::string& callsFile) {
    std::vector<tavlin_client::CallRecord> records;
    tavlin_client::ReadCallsFile(callsFile, records);
    size_t n = 0;
    for (const auto& r : records) n += r.kind == tavlin_client::CallKind::Args;
    return n;
}

// Idle processes standing in for the rest of a desktop; killed and reaped
// when the benchmark ends.
class Population {
public:
    ~Population() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }

    // Starts `count` sleepers, as `uid` when it is not ours. False when one
    // could not be started (for another user: when we may not switch).
    bool Start(int count, uid_t uid) {
        for (int i = 0; i < count; ++i) {
            int report[2];
            if (::pipe2(report, O_CLOEXEC) != 0) return false;
            pid_t pid = ::fork();
            if (pid < 0) return false;
            if (pid == 0) {
                int devnull = ::open("/dev/null", O_RDWR);
                ::dup2(devnull, 0);
                ::dup2(devnull, 1);
                ::dup2(devnull, 2);
                if (uid == ::geteuid() || (::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 &&
                                           ::setresuid(uid, uid, uid) == 0)) {
                    char sleep[] = "/bin/sleep", time[] = "3600";
                    char* argv[] = {sleep, time, nullptr};
                    ::execv(argv[0], argv);
                }
                int err = errno;
                (void)!::write(report[1], &err, sizeof err);
                ::_exit(127);
            }
            ::close(report[1]);
            int err = 0;
            ssize_t n = ::read(report[0], &err, sizeof err);
            ::close(report[0]);
            pids_.push_back(pid);
            if (n > 0) return false;
        }
        return true;
    }

private:
    std::vector<pid_t> pids_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_start WORKDIR [RUNS]");
    const std::string work = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int own = argc > 3 ? std::max(0, std::atoi(argv[3])) : 150;
    const int others = argc > 4 ? std::max(0, std::atoi(argv[4])) : 150;

    Population population;
    if (!population.Start(own, ::geteuid())) Die("cannot start the idle processes");
    const bool withOthers = others > 0 && population.Start(others, kOtherUser);

    // Clients are started detached; as their reaper we can end them cleanly
    // between runs.
    tavlin_test::BecomeSubreaper();

    const std::string install = work + "/start-install";
    fs::remove_all(install);
    fs::create_directories(install);
    // The launcher as installed, with its question box beside it.
    for (const char* program : {"TavlinLaunch.exe", "TavlinLaunchQuestion.so", "tavlin.exe"})
        if (fs::exists(BinDir() + "/" + program)) fs::copy_file(BinDir() + "/" + program, install + "/" + program);
    const std::string calls = install + "/tavlin.calls";
    tavlin_test::Environment env = tavlin_test::UserEnvironment(tavlin_test::MakeUserFolders(work + "/start-user"));

    int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify < 0 || ::inotify_add_watch(inotify, install.c_str(), IN_MODIFY | IN_CREATE) < 0)
        Die("inotify");

    std::vector<double> toClient, toExit;
    for (int run = 0; run <= runs; ++run) {  // run 0 warms the caches, untimed
        const size_t before = ArgsRecords(calls);
        tavlin_test::SpawnOptions options;
        options.argv = {install + "/TavlinLaunch.exe", "tavlin://bench?run=" + std::to_string(run)};
        options.env = env;
        tavlin_test::ChildProcess launcher;

        auto start = Clock::now();
        if (!launcher.Start(options)) Die(launcher.error());
        double clientMs = -1;
        while (MillisecondsSince(start) < 10000) {
            if (ArgsRecords(calls) > before) {
                clientMs = MillisecondsSince(start);
                break;
            }
            pollfd p{inotify, POLLIN, 0};
            ::poll(&p, 1, 100);
            char buf[4096];
            while (::read(inotify, buf, sizeof buf) > 0) {
            }
        }
        if (clientMs < 0) Die("the client did not record its start within 10 s: " + launcher.Stderr());
        if (!launcher.Wait(10000)) Die("the launcher did not end");
        double exitMs = MillisecondsSince(start);
        if (launcher.exitCode() != 0) Die("the launcher failed: " + launcher.Stderr());

        if (!tavlin_test::KillAndReap(tavlin_test::ProcessesBelow(install), 5000))
            Die("the client could not be stopped");
        if (run == 0) continue;
        toClient.push_back(clientMs);
        toExit.push_back(exitMs);
    }
    ::close(inotify);

    std::printf("%d runs; /proc holds %d idle processes of ours and %d of another user\n", runs, own,
                withOthers ? others : 0);
    std::printf("%-34s %10s %10s %10s\n", "", "median ms", "min ms", "max ms");
    Stats c = Summarise(toClient), e = Summarise(toExit);
    std::printf("%-34s %10.2f %10.2f %10.2f\n", "spawn -> client recorded its args", c.median, c.min, c.max);
    std::printf("%-34s %10.2f %10.2f %10.2f\n", "spawn -> launcher exited", e.median, e.min, e.max);
    return 0;
}
