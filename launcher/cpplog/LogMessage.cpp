#include "cpplog/LogMessage.h"

#include <cstring>
#include <iomanip>
#include <sstream>

namespace cpplog {

namespace {

const char* FileNameOf(const char* path) {
    if (const char* slash = std::strrchr(path, '/')) return slash + 1;
    if (const char* backslash = std::strrchr(path, '\\')) return backslash + 1;
    return path;
}

}  // namespace

LogMessage::LogMessage(const char* file, unsigned line, loglevel_t level, BaseLogger& logger)
    : LogMessage(NoPrefix{}, file, line, level, logger, std::time(nullptr)) {
    InitPrefix();
}

LogMessage::LogMessage(const char* file, unsigned line, loglevel_t level, BaseLogger& logger,
                       std::time_t when)
    : LogMessage(NoPrefix{}, file, line, level, logger, when) {
    InitPrefix();
}

LogMessage::LogMessage(NoPrefix, const char* file, unsigned line, loglevel_t level,
                       BaseLogger& target, std::time_t when)
    : logger(&target), data(std::make_unique<LogData>(level)) {
    data->fullPath = file ? file : "";
    data->fileName = FileNameOf(data->fullPath);
    data->line = line;
    data->messageTime = when;
    gmtime_r(&when, &data->utcTime);
}

LogMessage::~LogMessage() {
    try {
        Flush();
    } catch (...) {
        // A destructor must not throw; the record is lost.
    }
    // A logger that answered false has taken the record over.
    if (sent && !deleteData) (void)data.release();
}

void LogMessage::WritePrefix(std::ostream& prefixStream) {
    prefixStream << std::left << std::setw(5) << LevelName(data->level) << " - " << data->fileName
                 << "(" << data->line << "): ";
}

void LogMessage::InitPrefix() {
    std::ostringstream prefix;
    WritePrefix(prefix);
    data->stream << prefix.str();
}

void LogMessage::Flush() {
    if (flushed) return;
    LogData& d = *data;
    const std::size_t len = d.length();
    if (len == 0 || d.buffer[len - 1] != '\n') {
        if (d.streamBuffer.full()) {
            d.buffer[len - 1] = '\n';
        } else {
            d.stream.clear();
            d.stream.put('\n');
        }
    }
    flushed = true;
    deleteData = logger->SendRecord(d);
    sent = true;
}

}  // namespace cpplog

namespace n_log {

std::string logTag = "ORB";

CustomLogMessage::CustomLogMessage(const char* file, unsigned line, cpplog::loglevel_t level,
                                   cpplog::BaseLogger& logger, const char* functionName)
    : CustomLogMessage(file, line, level, logger, functionName, std::time(nullptr)) {}

CustomLogMessage::CustomLogMessage(const char* file, unsigned line, cpplog::loglevel_t level,
                                   cpplog::BaseLogger& logger, const char* functionName,
                                   std::time_t when)
    : LogMessage(NoPrefix{}, file, line, level, logger, when), function(functionName) {
    InitPrefix();
}

void CustomLogMessage::WritePrefix(std::ostream& prefixStream) {
    const std::tm& t = data->utcTime;
    prefixStream << "[" << logTag << "][" << cpplog::LevelLetter(data->level) << "]["
                 << t.tm_year + 1900 << "-" << t.tm_mon + 1 << "-" << t.tm_mday << " " << t.tm_hour
                 << ":" << t.tm_min << ":" << t.tm_sec << "] ";
}

}  // namespace n_log
