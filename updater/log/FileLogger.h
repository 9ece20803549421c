// The updater's process-wide file log.
//
// Each record becomes one line "time|level|source|line|function|message" on
// the calling thread and is queued; one detached writer thread appends the
// queued lines to $XDG_STATE_HOME/vrek/logs/Updater/<program>/<name>_<tick>.log
// and starts a new file when the current one would grow past SizeLimit().
// Before Open, after a failed Open, or after a failed write or rotation,
// records are dropped without a report.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "log/LogSite.h"

class FileLogger {
public:
    // The process-wide logger, created on first use and never destroyed.
    // Its queue is written out at normal process exit. Any thread.
    static FileLogger* Instance();

    // A logger of its own (tests, benchmarks). Its destructor writes out
    // what is queued and stops its writer.
    FileLogger();
    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // Opens a new log file: `name` (when not empty) becomes the first part of
    // the file name. The first successful Open starts the writer thread.
    // Normally called once, on the main thread, before other threads log.
    void Open(std::string name);

    // Writes one record when the filters keep it and a file is open. The
    // message is cut to 1023 bytes; a null format gives an empty message.
    // Never blocks on file output. Any thread.
    void Log(int32_t level, std::string_view sourceFile, int32_t line, std::string_view function,
             const char* format, ...) __attribute__((format(printf, 6, 7)));

    // Waits up to timeoutMs until every record queued before the call has
    // been written (or dropped by a failure). True when that happened.
    bool Drain(int timeoutMs);

    // Bytes per file before a new file is started; 0: no limit.
    void SetSizeLimit(uint32_t bytes);
    uint32_t SizeLimit() const;

    // Filters, set directly by the code that opens the log. When exactLevel
    // is not -1 only records of that level are kept; otherwise records whose
    // level is at most maxLevel (none when maxLevel is negative).
    std::atomic<int32_t> exactLevel{-1};
    std::atomic<int32_t> maxLevel{4};

    struct Core;

private:
    bool Keeps(int32_t level) const;

    std::shared_ptr<Core> core_;
};

// Logs through the process-wide logger with the call site's source unit,
// line and full function name ("zeb::KillOrbProcess").
#define UPDATER_LOG(level, ...)                                                                   \
    do {                                                                                           \
        static constexpr std::string_view updaterLogSource_ =                                      \
            ::updater_log::SourceUnitOf(__FILE__);                                                 \
        static constexpr std::string_view updaterLogFunction_ =                                    \
            ::updater_log::FunctionNameOf(__PRETTY_FUNCTION__);                                    \
        ::FileLogger::Instance()->Log((level), updaterLogSource_, __LINE__, updaterLogFunction_,   \
                                      __VA_ARGS__);                                                \
    } while (0)
