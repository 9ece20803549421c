#include "platform/debug_output.h"

#include <syslog.h>

#include <mutex>

namespace platform {

void OutputDebugStringA(const char* text) {
    static std::once_flag opened;
    // A null ident makes syslog use the program name.
    std::call_once(opened, [] { ::openlog(nullptr, LOG_PID, LOG_USER); });
    ::syslog(LOG_DEBUG, "%s", text ? text : "");
}

}  // namespace platform
