// The launcher's process-wide logger and the conversion of wide text for it.
// rootLogger: main thread only. ToChsNarrow: any thread.
#pragma once

#include <string>
#include <string_view>

#include "cpplog/LogMessage.h"
#include "cpplog/QxLogger.h"

namespace cpplog {

// Built before main: first the debugger output, then standard error.
extern QxLogger rootLogger;

// Wide text as the narrow text of log records (UTF-8), up to its first NUL.
// Empty when the text holds something that has no narrow form (an unpaired
// surrogate).
std::string ToChsNarrow(std::u16string_view text);

}  // namespace cpplog
