#include "packer/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/unique_fd.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

// The temporary files a signal handler removes: plain pointers, since the
// handler may only load them and call unlink().
std::atomic<const char*> gPending[4];

void RemovePendingAndDie(int sig) {
    for (std::atomic<const char*>& slot : gPending)
        if (const char* path = slot.load()) ::unlink(path);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void Register(const char* path) {
    for (std::atomic<const char*>& slot : gPending) {
        const char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, path)) return;
    }
}

void Unregister(const char* path) {
    for (std::atomic<const char*>& slot : gPending) {
        const char* expected = path;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the signals back while a temporary file is made and registered, so
// that none can end the process between the two and leave the file behind.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : kSignals) sigaddset(&set, sig);
        ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

void RemoveOutputFilesOnSignals() {
    struct sigaction action{};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    for (const int sig : kSignals) ::sigaction(sig, &action, nullptr);
}

OutputFile::OutputFile(std::string finalPath) : final_(std::move(finalPath)) {
    const std::size_t slash = final_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : final_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
    std::string pattern = folder + "." + base + ".part-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const SignalsHeld held;
    const platform::UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) {
        error_ = "cannot create a file beside \"" + unpack::Printable(final_) + "\": " + std::strerror(errno);
        return;
    }
    temp_ = name.data();
    Register(temp_.c_str());
}

OutputFile::~OutputFile() {
    if (temp_.empty()) return;
    if (!committed_) ::unlink(temp_.c_str());
    Unregister(temp_.c_str());
}

bool OutputFile::Commit(unsigned umask) {
    if (::chmod(temp_.c_str(), 0666 & ~umask) != 0 || ::rename(temp_.c_str(), final_.c_str()) != 0) {
        error_ = "cannot put \"" + unpack::Printable(final_) + "\" in place: " + std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& data, unsigned umask, std::string& error) {
    OutputFile out(path);
    if (!out.ok()) {
        error = out.error();
        return false;
    }
    std::FILE* f = std::fopen(out.tempPath().c_str(), "wb");
    const bool written = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const bool closed = f && std::fclose(f) == 0;
    if (!written || !closed) {
        error = "cannot write \"" + unpack::Printable(out.tempPath()) + "\": " + std::strerror(errno);
        return false;
    }
    if (!out.Commit(umask)) {
        error = out.error();
        return false;
    }
    return true;
}

}  // namespace tavlin::packer
