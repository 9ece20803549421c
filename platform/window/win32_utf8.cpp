#include <windows.h>

#include <climits>

#include "utf8.h"

namespace platform::detail {

std::string ToUtf8(std::u16string_view text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int n = static_cast<int>(text.size());
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, n, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, n, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace platform::detail
