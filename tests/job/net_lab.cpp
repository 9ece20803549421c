#include "net_lab.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/network.h"

namespace job_test {

namespace {

// The process id alone repeats across PID namespaces (every test run there
// is process 1), and a namespace left by a killed run would make a lab fail.
std::string NewName(const char* role) {
    static std::atomic<int> counter{0};
    static const unsigned run = std::random_device{}();
    return "tavlin-job-" + std::to_string(::getpid()) + "-" + std::to_string(run) + "-" + std::to_string(counter++) +
           role;
}

}  // namespace

bool Ip(const std::string& arguments) {
    const std::string command = "ip " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::unique_ptr<NetLab> NetLab::Create(std::string* why) {
    std::string name = NewName("");
    if (!Ip("netns add " + name)) {
        *why = "this machine cannot make network namespaces (ip netns add failed; needs root or CAP_SYS_ADMIN)";
        return nullptr;
    }
    std::unique_ptr<NetLab> lab(new NetLab(name));
    if (!Ip("-n " + name + " link set lo up")) {
        *why = "loopback could not be set up in a new network namespace";
        return nullptr;
    }
    return lab;
}

std::unique_ptr<NetLab> NetLab::CreateWithLink(std::string* why) {
    std::unique_ptr<NetLab> lab = Create(why);
    if (!lab) return nullptr;
    lab->peer_ = lab->name_ + "-peer";
    const std::string& n = lab->name_;
    const std::string& p = lab->peer_;
    if (!Ip("netns add " + p) ||
        !Ip("link add vjob0 netns " + n + " type veth peer name vjob1 netns " + p) ||
        !Ip("-n " + n + " addr add 10.199.0.1/30 dev vjob0") ||
        !Ip("-n " + p + " addr add 10.199.0.2/30 dev vjob1") || !Ip("-n " + p + " link set vjob1 up") ||
        !lab->SetLink(true)) {
        *why = "a veth link between two network namespaces could not be made";
        return nullptr;
    }
    return lab;
}

NetLab::~NetLab() {
    Ip("netns del " + name_);
    if (!peer_.empty()) Ip("netns del " + peer_);
}

bool NetLab::SetLink(bool up) {
    if (peer_.empty()) return false;
    if (!Ip("-n " + name_ + " link set vjob0 " + (up ? "up" : "down"))) return false;
    return WaitAlive(up);
}

bool NetLab::SetLoopback(bool up) { return Ip("-n " + name_ + " link set lo " + (up ? "up" : "down")); }

void NetLab::Run(const std::function<void()>& fn) const {
    std::thread inside([&] {
        const std::string path = "/var/run/netns/" + name_;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) std::abort();  // the test would run in the wrong network
        ::close(fd);
        fn();
    });
    inside.join();
}

bool NetLab::NetworkAlive() const {
    bool alive = false;
    Run([&] { alive = platform::IsNetworkAlive(); });
    return alive;
}

bool NetLab::WaitAlive(bool alive) const {
    // A veth link reports its carrier a moment after it is set up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (NetworkAlive() != alive) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace job_test
