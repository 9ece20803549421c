// A running client that mishandles its pipe, for the hand-over tests. The
// tests start a copy named tavlin.exe, so the launcher takes it for the
// client:
//   pipe_peer drop   accepts each connection and closes it unread
//   pipe_peer hold   reads each message up to its NUL, prints it on stdout
//                    and keeps the connection open
// Serves the pipe until it is killed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/pipe.h"
#include "platform/unique_fd.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "drop" && mode != "hold") return 2;
    platform::PipeServer server;
    if (!server.Listen("VOVAZU_tavlin")) return 1;
    std::vector<platform::UniqueFd> held;
    for (;;) {
        platform::UniqueFd conn(::accept4(server.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn || mode == "drop") continue;
        std::string message;
        char c;
        while (::read(conn.get(), &c, 1) == 1) {
            message += c;
            if (c == '\0') break;
        }
        std::fwrite(message.data(), 1, message.size(), stdout);
        std::fflush(stdout);
        held.push_back(std::move(conn));
    }
}
