#include "platform/clock.h"

#include <windows.h>

namespace platform {

uint32_t GetTickCount() { return ::GetTickCount(); }

}  // namespace platform
