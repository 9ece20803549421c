// A private network namespace for the job's tests: loopback up, and
// optionally a veth link to a second namespace whose state the test sets, so
// the machine's network can be cut and restored for real. Code run through
// Run, and every thread it starts, lives in the namespace.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace job_test {

class NetLab {
public:
    // A namespace with loopback only: no network as far as the job can tell.
    // Null (and `why` set) when the machine cannot make namespaces.
    static std::unique_ptr<NetLab> Create(std::string* why);
    // The same, plus a veth link that is up and has an address.
    static std::unique_ptr<NetLab> CreateWithLink(std::string* why);
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    // Sets the link down or up and waits (at most 5 s) until the network
    // state seen inside the namespace follows. False when it did not.
    bool SetLink(bool up);
    // Sets loopback down or up. Down, nothing in the namespace reaches
    // 127.0.0.1 (connections fail at once with "network unreachable"), as
    // on a machine whose every way to the server is gone.
    bool SetLoopback(bool up);

    // Runs `fn` on a new thread inside the namespace and waits for it.
    void Run(const std::function<void()>& fn) const;

    // Whether the namespace has a network, as seen from inside it.
    bool NetworkAlive() const;

    const std::string& name() const { return name_; }

private:
    explicit NetLab(std::string name) : name_(std::move(name)) {}
    bool WaitAlive(bool alive) const;

    std::string name_;
    std::string peer_;  // the namespace at the link's far end; empty without a link
};

// Runs an `ip` command line (arguments joined with spaces); true on status 0.
bool Ip(const std::string& arguments);

}  // namespace job_test
