// Time from spawning the launcher (no update pending, no client running)
// until the stand-in client has recorded the arguments it was started with.
//
//   tavlin_bench_start WORKDIR [RUNS]
//
// The client's record file is watched with inotify, so the end of each run
// is seen as it happens rather than at the next poll.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "bench_util.h"
#include "calls_file.h"
#include "child_process.h"
#include "user_env.h"

namespace fs = std::filesystem;
using namespace tavlin_bench;

namespace {

size_t ArgsRecords(const std::string& callsFile) {
    std::vector<tavlin_client::CallRecord> records;
    tavlin_client::ReadCallsFile(callsFile, records);
    size_t n = 0;
    for (const auto& r : records) n += r.kind == tavlin_client::CallKind::Args;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) Die("usage: tavlin_bench_start WORKDIR [RUNS]");
    const std::string work = fs::absolute(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    // Clients are started detached; as their reaper we can end them cleanly
    // between runs.
    tavlin_test::BecomeSubreaper();

    const std::string install = work + "/start-install";
    fs::remove_all(install);
    fs::create_directories(install);
    for (const char* program : {"TavlinLaunch.exe", "tavlin.exe"})
        fs::copy_file(BinDir() + "/" + program, install + "/" + program);
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

    std::printf("%d runs\n", runs);
    std::printf("%-34s %10s %10s %10s\n", "", "median ms", "min ms", "max ms");
    Stats c = Summarise(toClient), e = Summarise(toExit);
    std::printf("%-34s %10.2f %10.2f %10.2f\n", "spawn -> client recorded its args", c.median, c.min, c.max);
    std::printf("%-34s %10.2f %10.2f %10.2f\n", "spawn -> launcher exited", e.median, e.min, e.max);
    return 0;
}
