// The client's named pipe. Linux: an AF_UNIX stream socket in the runtime
// folder. Windows: the named pipe \\.\pipe\<name> in byte mode.
#pragma once

#include <cstddef>
#include <string>

#ifdef _WIN32
#include "platform/unique_handle.h"
#else
#include "platform/unique_fd.h"
#endif

namespace platform {

// Path for a pipe name (such as "VOVAZU_tavlin"); empty for a name that
// holds a path separator. Linux: the socket in the runtime folder; empty when
// there is no trustworthy runtime folder or the path does not fit sun_path.
// Windows: "\\.\pipe\" followed by the name.
std::string PipePath(const std::string& name);

// Client side: connects without waiting. Any thread.
class PipeClient {
public:
    // False when nobody serves the pipe (or, on Windows, its one instance is
    // busy), the server is not this user's (Linux: the socket's owner and the
    // peer; Windows: the serving process's user), or there is no runtime
    // folder.
    bool Open(const std::string& name);
    // Writes all `size` bytes (one message); false on a write error (the
    // server has gone; never raises SIGPIPE), which also closes the pipe.
    bool Write(const void* data, size_t size);
    // Ends the message (the server reads end-of-file after it) and waits up to
    // `timeoutMs` until the server has taken all of it or closed. False when
    // the server closed or reset the connection with data unread: the message
    // was lost. True when all was read, and also when the time ran out with
    // the message still queued for a server that is alive but slow.
    // Windows: a pipe has no half-close, so this waits for the reads
    // (FlushFileBuffers) and then closes; Wine reports a server that went
    // away unread as a success.
    bool Finish(int timeoutMs);
    void Close() { fd_.reset(); }

private:
#ifdef _WIN32
    UniqueHandle fd_;
#else
    UniqueFd fd_;
#endif
};

// Server side, for the client programs: a listening socket with mode 0600
// (Windows: a pipe that refuses remote clients). One server per name: a lock
// file beside the socket marks the live one (Windows: the first instance of
// the name is ours alone), so a second server fails instead of stealing the
// name. Owned and used by one thread.
class PipeServer {
public:
    // Replaces a stale socket of ours at the path; false on failure or when
    // another live server holds the name.
    bool Listen(const std::string& name);
    // Waits up to timeoutMs (-1 = for ever) for one connection and reads its
    // whole message until the peer closes. False on timeout or error.
    bool ReceiveOne(std::string& message, int timeoutMs = -1);
#ifndef _WIN32
    int fd() const { return fd_.get(); }
#endif
    // Stops serving and removes the socket file.
    void Close();
    PipeServer() = default;
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;
    ~PipeServer();

private:
#ifdef _WIN32
    UniqueHandle fd_;
    UniqueHandle connected_;  // signalled when a client has connected
#else
    UniqueFd fd_;
    UniqueFd lock_;
#endif
    std::string path_;
};

}  // namespace platform
