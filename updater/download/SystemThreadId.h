// The system's number for the calling thread, as logs and tools show it
// (Linux: gettid; Windows: GetCurrentThreadId).
#pragma once

#include <cstdint>

uint32_t SystemThreadId();
