#include "desktop_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace platform::detail {

namespace {

constexpr double kMaxScale = 4;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The value of resource `name` (a line "name: value"); empty when absent.
std::string_view Resource(std::string_view resources, std::string_view name) {
    while (!resources.empty()) {
        size_t end = resources.find('\n');
        std::string_view line = resources.substr(0, end);
        resources = end == std::string_view::npos ? std::string_view() : resources.substr(end + 1);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && Trim(line.substr(0, colon)) == name) return Trim(line.substr(colon + 1));
    }
    return {};
}

}  // namespace

double DesktopScale(std::string_view resources, const char* gdkScale) {
    std::string dpi(Resource(resources, "Xft.dpi"));
    if (!dpi.empty()) {
        char* end = nullptr;
        double value = std::strtod(dpi.c_str(), &end);
        if (end && *end == '\0' && value > 0 && std::isfinite(value))
            return std::clamp(std::round(value / 96 * 4) / 4, 1.0, kMaxScale);
    }
    if (gdkScale && *gdkScale) {
        char* end = nullptr;
        long value = std::strtol(gdkScale, &end, 10);
        if (end && *end == '\0' && value >= 1) return std::min(static_cast<double>(value), kMaxScale);
    }
    return 1;
}

}  // namespace platform::detail
