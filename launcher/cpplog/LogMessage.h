// The record handle a call site holds: it makes a record with its prefix,
// lets the call site write the text, and sends the record when destroyed.
// A record belongs to the thread that made it.
//
//   n_log::CustomLogMessage(__FILE__, kLine, cpplog::LL_INFO, cpplog::rootLogger,
//                           "Function").getStream() << "text";
#pragma once

#include <ctime>
#include <memory>
#include <ostream>
#include <string>

#include "cpplog/LogData.h"
#include "cpplog/Loggers.h"

namespace cpplog {

class LogMessage {
public:
    // Makes a record stamped with the current time and writes the plain
    // prefix: level name in 5 columns, " - ", file name, "(line): ".
    LogMessage(const char* file, unsigned line, loglevel_t level, BaseLogger& logger);
    // The same with a given time (seconds since 1970).
    LogMessage(const char* file, unsigned line, loglevel_t level, BaseLogger& logger,
               std::time_t when);
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;
    // Sends the record if that has not happened yet.
    virtual ~LogMessage();

    std::ostream& getStream() { return data->stream; }
    const LogData& getData() const { return *data; }

    // Ends the text with a line end and hands the record to the logger.
    // Runs once; later calls do nothing.
    void Flush();

protected:
    struct NoPrefix {};
    // For derived records, which write their own prefix once constructed.
    LogMessage(NoPrefix, const char* file, unsigned line, loglevel_t level, BaseLogger& logger,
               std::time_t when);

    virtual void WritePrefix(std::ostream& prefixStream);
    // Formats the prefix apart and copies it into the record.
    void InitPrefix();

    BaseLogger* logger;
    bool flushed = false;
    bool deleteData = false;
    bool sent = false;  // the logger answered (it may have kept the data)
    std::unique_ptr<LogData> data;
};

}  // namespace cpplog

namespace n_log {

// The tag that opens every launcher record ("ORB").
extern std::string logTag;

// The launcher's record: "[tag][L][Y-M-D H:M:S] " in UTC, no leading zeros.
// The function name is kept with the record but not printed.
class CustomLogMessage : public cpplog::LogMessage {
public:
    CustomLogMessage(const char* file, unsigned line, cpplog::loglevel_t level,
                     cpplog::BaseLogger& logger, const char* functionName);
    CustomLogMessage(const char* file, unsigned line, cpplog::loglevel_t level,
                     cpplog::BaseLogger& logger, const char* functionName, std::time_t when);

    const char* functionName() const { return function; }

protected:
    void WritePrefix(std::ostream& prefixStream) override;

private:
    const char* function;
};

}  // namespace n_log
