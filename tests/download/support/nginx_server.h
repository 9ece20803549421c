// A real nginx on 127.0.0.1 serving a folder, for the download engine's
// tests and end-to-end runs. Runs in the foreground as one process of its
// own, with every path in a private folder; stopped by the destructor.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace download_test {

struct NginxOptions {
    long limitRateBytes = 0;  // per connection; 0: no limit
    std::string certFile;     // with keyFile: serve https instead of http
    std::string keyFile;
};

// One line of the access log.
struct NginxAccess {
    std::string method, uri, range;
    int status = 0;
    long long bodyBytes = 0;
};

class NginxServer {
public:
    // Throws std::runtime_error when nginx cannot be started.
    NginxServer(const std::string& root, NginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    std::string Url(const std::string& path) const;
    std::vector<NginxAccess> Access() const;

private:
    tavlin_test::TempDir dir_{"tavlin-nginx-"};
    tavlin_test::ChildProcess process_;
    std::string scheme_;
    int port_ = 0;
};

// Makes a self-signed certificate for 127.0.0.1 with the openssl tool.
bool MakeSelfSignedCertificate(const std::string& certFile, const std::string& keyFile);

}  // namespace download_test
