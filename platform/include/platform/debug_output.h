// Debugger output: syslog at LOG_DEBUG; goes nowhere when nothing listens.
// Any thread.
#pragma once

namespace platform {

void OutputDebugStringA(const char* text);

}  // namespace platform
