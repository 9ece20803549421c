#include <unistd.h>

#include "download/SystemThreadId.h"

uint32_t SystemThreadId() { return static_cast<uint32_t>(::gettid()); }
