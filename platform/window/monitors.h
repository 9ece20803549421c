// Which monitor a new or centred window belongs on.
#pragma once

#include <vector>

#include "platform/window/types.h"

namespace platform::detail {

// The monitor that holds `pointer`; else the primary one (index `primary`,
// -1 for none); else the first; `screen` when there are no monitors.
Rect PickMonitor(const std::vector<Rect>& monitors, int primary, Point pointer, const Rect& screen);

}  // namespace platform::detail
