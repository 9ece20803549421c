// Stand-in for the teaching client "tavlin.exe": records how it was started
// and every message on its pipe in "tavlin.calls" beside itself, shows its
// main window (class "vostrapanel") when there is a display, and runs until
// it is killed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "calls_file.h"
#include "client_window.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/unique_fd.h"
#include "version_file.h"

namespace {

constexpr const char* kPipeName = "VOVAZU_tavlin";
// While another instance holds the pipe, try again this often: an old client
// that is being killed lets go of it a moment later.
constexpr int kRetryListenMs = 100;

// One write() per record on an O_APPEND descriptor, so records from several
// instances never interleave.
void Append(int fd, tavlin_client::CallKind kind, std::string_view data) {
    std::string record = tavlin_client::FormatCallRecord(kind, data);
    while (::write(fd, record.data(), record.size()) < 0 && errno == EINTR) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    if (!platform::GetModuleFolder(folder)) return 1;
    platform::UniqueFd calls(::open((folder + "tavlin.calls").c_str(),
                                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!calls) return 1;

    // Termination signals arrive through a descriptor, so the loop ends
    // normally and the server removes its socket file.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    platform::UniqueFd signals(::signalfd(-1, &stop, SFD_CLOEXEC));
    if (!signals) return 1;

    std::string args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += ' ';
        args += argv[i];
    }
    Append(calls.get(), tavlin_client::CallKind::Version,
           tavlin_client::ReadVersion(folder + "version.txt"));
    Append(calls.get(), tavlin_client::CallKind::Args, args);

    tavlin_client::ClientWindow window;
    window.Open();

    platform::PipeServer server;
    bool serving = server.Listen(kPipeName);
    for (;;) {
        // Xlib may already hold read events: handle them before sleeping.
        window.Pump();
        // poll ignores the entries whose descriptor is negative.
        pollfd fds[3] = {{signals.get(), POLLIN, 0}, {window.fd(), POLLIN, 0}, {serving ? server.fd() : -1, POLLIN, 0}};
        int r = ::poll(fds, 3, serving ? -1 : kRetryListenMs);
        if (r < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) break;
        if (!serving) {
            serving = server.Listen(kPipeName);
            continue;
        }
        if (fds[2].revents & POLLIN) {
            std::string message;
            if (server.ReceiveOne(message, 0)) Append(calls.get(), tavlin_client::CallKind::Pipe, message);
        }
    }
    return 0;
}
