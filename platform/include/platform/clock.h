// Monotonic millisecond clock, kept in 32 bits like the Windows tick counts
// (Windows: GetTickCount itself).
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetTickCount();

}  // namespace platform
