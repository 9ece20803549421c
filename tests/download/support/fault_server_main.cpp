// tavlin-fault-server DIR: the scripted fault server as a program of its
// own, for download engines that cannot start it in their process (the
// Windows build under Wine). A request for /NAME is answered with the file
// DIR/NAME (404 when there is none). Its segment transfers are answered in
// turn by the lines of DIR/NAME.answers, its other requests (the length
// probe, redirects followed) by those of DIR/NAME.probe-answers; when a
// script runs out, the file is served:
//   status CODE | retry-after CODE VALUE | reset | silent |
//   reset-after BYTES | close-after BYTES | stall-after BYTES |
//   no-length | claim-length BYTES | redirect CODE [LOCATION]
// Every request is appended to DIR/requests.log as "METHOD PATH RANGE"
// ("-" without a range). The port is written to DIR/port once the server
// listens; SIGTERM or SIGINT ends it.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "fault_server.h"
#include "file_text.h"

namespace fs = std::filesystem;
using namespace download_test;

namespace {

// One line of a script; false when it is not understood.
bool ParseAnswer(const std::string& line, const HttpRequest& request, const std::string& body, HttpReply* reply) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "status") {
        int code = 0;
        in >> code;
        *reply = Status(code);
    } else if (kind == "retry-after") {
        int code = 0;
        std::string value;
        in >> code;
        std::getline(in >> std::ws, value);
        *reply = RetryAfter(code, value);
    } else if (kind == "reset" || kind == "silent") {
        *reply = HttpReply{};
        (kind == "reset" ? reply->reset : reply->silent) = true;
    } else if (kind == "no-length") {
        *reply = ServeFile(HttpRequest{}, body);  // the whole file, as a 200
        reply->contentLength = false;
    } else if (kind == "claim-length") {
        std::string bytes;
        in >> bytes;
        *reply = HttpReply{};
        reply->headers = {"Content-Length: " + bytes};
        reply->contentLength = false;
    } else if (kind == "reset-after" || kind == "close-after" || kind == "stall-after") {
        long bytes = -1;
        in >> bytes;
        *reply = ServeFile(request, body);
        (kind == "reset-after" ? reply->resetAfter : kind == "close-after" ? reply->closeAfter : reply->stallAfter) =
            bytes;
    } else if (kind == "redirect") {
        int code = 0;
        std::string location;  // none: a redirect without a target
        in >> code;
        std::getline(in >> std::ws, location);
        *reply = Redirect(code, location);
        return code > 0;
    } else {
        return false;
    }
    return !in.fail();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !fs::is_directory(argv[1])) {
        std::fprintf(stderr, "usage: tavlin-fault-server DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the server's threads start, so they inherit it and
    // sigwait below takes the signal.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::map<std::string, size_t> answered;  // script lines used, per script file
    std::ofstream log(dir + "/requests.log", std::ios::app);
    FaultServer server([&](const HttpRequest& request) {
        log << request.method << ' ' << request.path << ' ' << (request.range.empty() ? "-" : request.range)
            << std::endl;
        const std::string name = request.path.substr(request.path.rfind('/') + 1);
        const std::string file = dir + "/" + name;
        if (name.empty() || name.find("answers") != std::string::npos || !fs::is_regular_file(file))
            return Status(404);
        const std::string body = tavlin_test::ReadFileText(file);
        const std::string script = file + (IsSegmentGet(request, body.size()) ? ".answers" : ".probe-answers");
        const std::vector<std::string> answers = Lines(tavlin_test::ReadFileText(script));
        size_t& next = answered[script];
        if (next >= answers.size()) return ServeFile(request, body);
        HttpReply reply;
        if (!ParseAnswer(answers[next++], request, body, &reply)) return Status(400);
        return reply;
    });

    const std::string url = server.Url("/");
    const std::string port = url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2);
    if (!tavlin_test::WriteFileText(dir + "/port.new", port + "\n") ||
        std::rename((dir + "/port.new").c_str(), (dir + "/port").c_str()) != 0) {
        std::fprintf(stderr, "tavlin-fault-server: cannot write %s/port\n", dir.c_str());
        return 1;
    }
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
