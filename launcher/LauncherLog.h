// The launcher's records and the source lines they carry. A record's line is
// part of what it says, so each has a fixed number here.
#pragma once

#include "cpplog/RootLogger.h"

namespace launcher {

namespace log_line {
constexpr unsigned kClassPath = 370;
constexpr unsigned kParameter = 371;
constexpr unsigned kPipeMessageTooLong = 372;
constexpr unsigned kSetRegFailure = 160;
constexpr unsigned kSetRegPathTooLong = 161;
constexpr unsigned kClientStartFailed = 373;
constexpr unsigned kQuestionUnavailable = 374;
constexpr unsigned kUnpackFailure = 420;
constexpr unsigned kRecovered = 421;
constexpr unsigned kPackageMoveUp = 422;
}  // namespace log_line

// An INFO record to the root logger, sent at the end of the statement:
//   LogInfo(__FILE__, log_line::kParameter, "wWinMain").getStream() << "par: " << text;
inline n_log::CustomLogMessage LogInfo(const char* file, unsigned line, const char* function) {
    return n_log::CustomLogMessage(file, line, cpplog::LL_INFO, cpplog::rootLogger, function);
}

}  // namespace launcher
