// Monotonic millisecond clock, kept in 32 bits like the Windows tick counts.
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetTickCount();

}  // namespace platform
