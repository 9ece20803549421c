// Debugger output: syslog at LOG_DEBUG (Windows: OutputDebugStringA); goes
// nowhere when nothing listens.
// Any thread.
#pragma once

namespace platform {

void OutputDebugStringA(const char* text);

}  // namespace platform
