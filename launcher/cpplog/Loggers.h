// Outputs of the launcher's log: loggers that write records to a stream, and
// filters that pass them on. Only the launcher's main thread logs; nothing
// here is locked.
#pragma once

#include <functional>
#include <ostream>
#include <streambuf>

#include "cpplog/LogData.h"

namespace cpplog {

class BaseLogger {
public:
    // Hands one finished record to the output. True when the caller may
    // delete the record's data; false when this logger kept it.
    virtual bool SendRecord(LogData& data) = 0;
    virtual ~BaseLogger() = default;
};

// Writes each record's text to a stream it does not own, and flushes it.
class OstreamLogger : public BaseLogger {
public:
    explicit OstreamLogger(std::ostream& out) : stream(out) {}
    bool SendRecord(LogData& data) override;

protected:
    std::ostream& stream;
};

class StdErrLogger : public OstreamLogger {
public:
    StdErrLogger();
};

// Receives each finished piece of debugger output, NUL-terminated.
using DebugSink = std::function<void(const char*)>;

// A stream buffer that hands its text to the debugger output in pieces of at
// most 256 characters: when the area is full, and when the stream is flushed.
class OutputDebugStringBuf : public std::streambuf {
public:
    static constexpr std::size_t kAreaSize = 256;

    // An empty sink sends to platform::OutputDebugStringA.
    explicit OutputDebugStringBuf(DebugSink sink = {});

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    void Emit();

    DebugSink sink_;
    char area_[kAreaSize + 1];
};

using outputdebug_buf = OutputDebugStringBuf;

class outputdebug_stream : public std::ostream {
public:
    explicit outputdebug_stream(DebugSink sink = {}) : std::ostream(&buf_), buf_(std::move(sink)) {}

private:
    outputdebug_buf buf_;
};

namespace detail {
// Holds the debugger stream so that it is built before the OstreamLogger
// base that refers to it.
struct OutputDebugStreamHolder {
    explicit OutputDebugStreamHolder(DebugSink sink) : debugStream(std::move(sink)) {}
    outputdebug_stream debugStream;
};
}  // namespace detail

class OutputDebugStringLogger : private detail::OutputDebugStreamHolder, public OstreamLogger {
public:
    // An empty sink sends to platform::OutputDebugStringA; tests pass their own.
    explicit OutputDebugStringLogger(DebugSink sink = {});
};

// Drops records below lowestLevel (answering true) and passes the others on;
// answers false when there is nowhere to pass them.
class FilteringLogger : public BaseLogger {
public:
    FilteringLogger(loglevel_t lowest, BaseLogger* forward, bool ownsForwardLogger = false)
        : lowestLevel(lowest), forwardTo(forward), ownsForward(ownsForwardLogger) {}
    FilteringLogger(const FilteringLogger&) = delete;
    FilteringLogger& operator=(const FilteringLogger&) = delete;
    ~FilteringLogger() override;
    bool SendRecord(LogData& data) override;

protected:
    loglevel_t lowestLevel;
    BaseLogger* forwardTo;
    bool ownsForward;
};

class QxFilteringLogger : public FilteringLogger {
public:
    using FilteringLogger::FilteringLogger;
};

// The debugger-output branch of the root logger.
class QxDbgLogger : public QxFilteringLogger {
public:
    using QxFilteringLogger::QxFilteringLogger;
};

// The standard-error branch of the root logger.
class QxStdLogger : public QxFilteringLogger {
public:
    using QxFilteringLogger::QxFilteringLogger;
};

}  // namespace cpplog
