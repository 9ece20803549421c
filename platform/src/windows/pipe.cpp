#include "platform/pipe.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "token_user.h"
#include "wide.h"

namespace platform {

namespace {

// How long one stalled write or read may wait for the peer.
constexpr DWORD kStallMs = 5000;
// A message larger than this is not a launcher's and is refused.
constexpr size_t kMaxMessage = 1 << 20;
constexpr DWORD kBufferSize = 64 * 1024;

// One blocking call on the client's handle. It runs on a thread of its own
// so that a server that neither reads nor closes costs the caller a bounded
// wait; the thread owns its own duplicate of the handle and this record.
struct PipeCall {
    UniqueHandle pipe;
    std::string data;  // written when not empty, else the pipe is flushed
    DWORD error = ERROR_SUCCESS;
};

DWORD WINAPI RunPipeCall(void* param) {
    std::shared_ptr<PipeCall> call = std::move(*static_cast<std::shared_ptr<PipeCall>*>(param));
    delete static_cast<std::shared_ptr<PipeCall>*>(param);
    if (call->data.empty()) {
        // Returns once the server has read everything written.
        if (!::FlushFileBuffers(call->pipe.get())) call->error = ::GetLastError();
    } else {
        const char* p = call->data.data();
        size_t left = call->data.size();
        while (left > 0) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, kBufferSize));
            DWORD written = 0;
            if (!::WriteFile(call->pipe.get(), p, chunk, &written, nullptr) || written == 0) {
                call->error = ::GetLastError();
                if (call->error == ERROR_SUCCESS) call->error = ERROR_WRITE_FAULT;
                break;
            }
            p += written;
            left -= written;
        }
    }
    call->pipe.reset();
    return 0;
}

enum class CallResult { Done, Failed, TimedOut };

CallResult RunBounded(HANDLE pipe, std::string data, DWORD timeoutMs) {
    auto call = std::make_shared<PipeCall>();
    HANDLE dup = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), pipe, ::GetCurrentProcess(), &dup, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return CallResult::Failed;
    call->pipe.reset(dup);
    call->data = std::move(data);
    auto* param = new std::shared_ptr<PipeCall>(call);
    UniqueHandle thread(::CreateThread(nullptr, 0, RunPipeCall, param, 0, nullptr));
    if (!thread) {
        delete param;
        return CallResult::Failed;
    }
    if (::WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0)
        return call->error == ERROR_SUCCESS ? CallResult::Done : CallResult::Failed;
    // Ask the call to give up; should it not, the thread finishes on its
    // own once the server reads or goes, holding only its own handle.
    ::CancelSynchronousIo(thread.get());
    ::WaitForSingleObject(thread.get(), 1000);
    return CallResult::TimedOut;
}

// Waits for an overlapped operation on `handle` for up to `timeoutMs`; on
// timeout it is cancelled and waited for, so `ov` may go out of scope.
bool WaitOverlapped(HANDLE handle, OVERLAPPED& ov, DWORD timeoutMs, DWORD& transferred, DWORD& error) {
    error = ERROR_SUCCESS;
    if (::WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(handle, &ov);
        ::GetOverlappedResult(handle, &ov, &transferred, TRUE);
        error = ERROR_TIMEOUT;
        return false;
    }
    if (::GetOverlappedResult(handle, &ov, &transferred, FALSE)) return true;
    error = ::GetLastError();
    return false;
}

}  // namespace

std::string PipePath(const std::string& name) {
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return {};
    return "\\\\.\\pipe\\" + name;
}

bool PipeClient::Open(const std::string& name) {
    fd_.reset();
    std::string path = PipePath(name);
    if (path.empty()) return false;
    // Identification level only: a server may learn who we are, never act
    // as us.
    UniqueHandle pipe(::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr));
    if (!pipe) return false;
    ULONG serverPid = 0;
    if (!::GetNamedPipeServerProcessId(pipe.get(), &serverPid)) return false;
    UniqueHandle server(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid));
    if (!server || !IsOurProcess(server.get())) return false;
    fd_ = std::move(pipe);
    return true;
}

bool PipeClient::Write(const void* data, size_t size) {
    if (!fd_) return false;
    if (size == 0) return true;
    std::string bytes(static_cast<const char*>(data), size);
    // Part of the message may be out on failure; it is broken either way.
    if (RunBounded(fd_.get(), std::move(bytes), kStallMs) != CallResult::Done) {
        fd_.reset();
        return false;
    }
    return true;
}

bool PipeClient::Finish(int timeoutMs) {
    if (!fd_) return false;
    // A pipe has no half-close: the server reads end-of-file when we close,
    // and what it has not read yet stays readable until then. So wait for
    // the reads first, then close.
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    CallResult r = RunBounded(fd_.get(), {}, wait);
    fd_.reset();
    // Timed out: still queued for a server that is alive but slow.
    return r != CallResult::Failed;
}

bool PipeServer::Listen(const std::string& name) {
    Close();
    std::string path = PipePath(name);
    if (path.empty()) return false;
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return false;
    // One instance, and only if the name is not served yet: a second server
    // fails instead of sharing or stealing the name.
    UniqueHandle pipe(::CreateNamedPipeW(Wide(path).c_str(),
                                         PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         1, kBufferSize, kBufferSize, 0, nullptr));
    if (!pipe) return false;
    fd_ = std::move(pipe);
    connected_ = std::move(event);
    path_ = path;
    return true;
}

bool PipeServer::ReceiveOne(std::string& message, int timeoutMs) {
    if (!fd_) return false;
    const HANDLE pipe = fd_.get();
    OVERLAPPED ov{};
    ov.hEvent = connected_.get();
    ::ResetEvent(ov.hEvent);
    DWORD transferred = 0, error = ERROR_SUCCESS;
    if (!::ConnectNamedPipe(pipe, &ov)) {
        error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
            if (!WaitOverlapped(pipe, ov, wait, transferred, error)) return false;
        } else if (error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) {
            // ERROR_NO_DATA: the client has already closed; what it wrote
            // is still there to read.
            return false;
        }
    }

    // Whatever happens below, the instance is made free for the next client.
    struct Disconnect {
        HANDLE pipe;
        ~Disconnect() { ::DisconnectNamedPipe(pipe); }
    } disconnect{pipe};

    // A peer that connects and then stalls must not hold the server for
    // ever: each read waits at most kStallMs.
    std::string data;
    char buf[4096];
    for (;;) {
        ov = OVERLAPPED{};
        ov.hEvent = connected_.get();
        ::ResetEvent(ov.hEvent);
        DWORD n = 0;
        if (!::ReadFile(pipe, buf, sizeof buf, &n, &ov)) {
            error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                if (!WaitOverlapped(pipe, ov, kStallMs, n, error)) {
                    if (error == ERROR_BROKEN_PIPE) break;
                    return false;
                }
            } else if (error == ERROR_BROKEN_PIPE) {
                break;  // the client closed: the message is complete
            } else {
                return false;
            }
        } else if (!::GetOverlappedResult(pipe, &ov, &n, FALSE)) {
            return false;
        }
        data.append(buf, n);
        if (data.size() > kMaxMessage) return false;
    }
    message = std::move(data);
    return true;
}

void PipeServer::Close() {
    fd_.reset();
    connected_.reset();
    path_.clear();
}

PipeServer::~PipeServer() { Close(); }

}  // namespace platform
