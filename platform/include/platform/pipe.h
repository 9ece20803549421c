// The client's named pipe: an AF_UNIX stream socket in the runtime folder.
#pragma once

#include <cstddef>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// Socket path for a pipe name (such as "VOVAZU_tavlin"); empty when there is
// no trustworthy runtime folder or the path does not fit sun_path.
std::string PipePath(const std::string& name);

// Client side: connects without waiting. Any thread.
class PipeClient {
public:
    // False when nobody serves the pipe, the socket is not ours (not owned by
    // this user, or not a socket), or there is no runtime folder.
    bool Open(const std::string& name);
    // Writes all `size` bytes (one message); false on a write error (the
    // server has gone; never raises SIGPIPE), which also closes the pipe.
    bool Write(const void* data, size_t size);
    // Ends the message (the server reads end-of-file after it) and waits up to
    // `timeoutMs` until the server has taken all of it or closed. False when
    // the server closed or reset the connection with data unread: the message
    // was lost. True when all was read, and also when the time ran out with
    // the message still queued for a server that is alive but slow.
    bool Finish(int timeoutMs);
    void Close() { fd_.reset(); }

private:
    UniqueFd fd_;
};

// Server side, for the client programs: a listening socket with mode 0600.
// One server per name: a lock file beside the socket marks the live one, so
// a second server fails instead of stealing the name. Owned and used by one
// thread.
class PipeServer {
public:
    // Replaces a stale socket of ours at the path; false on failure or when
    // another live server holds the name.
    bool Listen(const std::string& name);
    // Waits up to timeoutMs (-1 = for ever) for one connection and reads its
    // whole message until the peer closes. False on timeout or error.
    bool ReceiveOne(std::string& message, int timeoutMs = -1);
    int fd() const { return fd_.get(); }
    // Stops serving and removes the socket file.
    void Close();
    ~PipeServer();

private:
    UniqueFd fd_;
    UniqueFd lock_;
    std::string path_;
};

}  // namespace platform
