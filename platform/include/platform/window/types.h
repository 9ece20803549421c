// Basic window-system types shared by the core, the backends and callers.
#pragma once

namespace platform {

struct WindowRec;
using Hwnd = WindowRec*;

}  // namespace platform
