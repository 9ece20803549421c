#include "monitors.h"

#include <cstddef>

namespace platform::detail {

Rect PickMonitor(const std::vector<Rect>& monitors, int primary, Point pointer, const Rect& screen) {
    for (const Rect& m : monitors)
        if (m.Contains(pointer)) return m;
    if (primary >= 0 && primary < static_cast<int>(monitors.size())) return monitors[static_cast<std::size_t>(primary)];
    return monitors.empty() ? screen : monitors.front();
}

}  // namespace platform::detail
