#include "nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace download_test {

namespace {

constexpr int kStartTries = 5;
constexpr int kStartTimeoutMs = 5000;

// A port that was free a moment ago.
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

std::string Config(const std::string& dir, const std::string& root, int port, const NginxOptions& options) {
    bool tls = !options.certFile.empty();
    std::ostringstream c;
    c << "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    // As root (also the mapped root of a user namespace, where "nobody" does
    // not exist) nginx would hand its temporary folders to "nobody".
    if (::geteuid() == 0) c << "user root root;\n";
    c << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
      << "events { worker_connections 256; }\n"
      << "http {\n"
      << "  log_format dl '$request_method $uri \"$http_range\" $status $body_bytes_sent';\n"
      << "  access_log " << dir << "/access.log dl;\n"
      << "  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir << "/tmp;\n"
      << "  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n"
      << "  scgi_temp_path " << dir << "/tmp;\n"
      << "  sendfile on;\n"
      << "  server {\n    listen 127.0.0.1:" << port << (tls ? " ssl" : "") << ";\n"
      << "    root " << root << ";\n";
    if (tls) c << "    ssl_certificate " << options.certFile << ";\n    ssl_certificate_key " << options.keyFile << ";\n";
    if (options.limitRateBytes > 0) c << "    limit_rate " << options.limitRateBytes << ";\n";
    c << "  }\n}\n";
    return c.str();
}

}  // namespace

NginxServer::NginxServer(const std::string& root, NginxOptions options)
    : scheme_(options.certFile.empty() ? "http" : "https") {
    std::string nginx = tavlin_test::FindProgram("nginx");
    if (nginx.empty() && tavlin_test::FileExists("/usr/sbin/nginx")) nginx = "/usr/sbin/nginx";
    if (nginx.empty()) throw std::runtime_error("nginx is not installed");
    for (int attempt = 0; attempt < kStartTries; ++attempt) {
        port_ = FreePort();
        std::string conf = dir_ / "nginx.conf";
        tavlin_test::WriteFileText(conf, Config(dir_.path(), root, port_, options));
        tavlin_test::SpawnOptions spawn;
        spawn.argv = {nginx, "-p", dir_.path(), "-c", conf, "-e", dir_ / "error.log"};
        // A test killed at its time limit runs no destructor: nginx goes with it.
        std::string setpriv = tavlin_test::FindProgram("setpriv");
        if (!setpriv.empty()) spawn.argv.insert(spawn.argv.begin(), {setpriv, "--pdeathsig", "KILL", "--"});
        tavlin_test::ChildProcess child;
        if (!child.Start(spawn)) continue;
        int port = port_;
        bool up = tavlin_test::WaitUntil([&] { return !child.running() || Accepts(port); }, kStartTimeoutMs);
        if (up && child.running() && !child.Wait(0)) {
            process_ = std::move(child);
            return;
        }
    }
    throw std::runtime_error("nginx did not start: " + tavlin_test::ReadFileText(dir_ / "error.log"));
}

NginxServer::~NginxServer() { process_.Kill(); }

std::string NginxServer::Url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<NginxAccess> NginxServer::Access() const {
    std::vector<NginxAccess> lines;
    std::istringstream in(tavlin_test::ReadFileText(dir_ / "access.log"));
    std::string line;
    while (std::getline(in, line)) {
        NginxAccess access;
        std::istringstream fields(line);
        fields >> access.method >> access.uri;
        size_t open = line.find('"'), close = line.rfind('"');
        if (open == std::string::npos || close == open) continue;
        access.range = line.substr(open + 1, close - open - 1);
        if (access.range == "-") access.range.clear();
        std::istringstream rest(line.substr(close + 1));
        rest >> access.status >> access.bodyBytes;
        lines.push_back(access);
    }
    return lines;
}

bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile) {
    std::string openssl = tavlin_test::FindProgram("openssl");
    if (openssl.empty()) return false;
    auto result = tavlin_test::Run({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyFile, "-out", certFile,
                                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                    "subjectAltName=IP:127.0.0.1"},
                                   tavlin_test::Environment::Inherit(), 20000);
    return result.finished && result.exitCode == 0;
}

}  // namespace download_test
