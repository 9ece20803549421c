#include "../Utf.h"

#include <windows.h>

namespace tavlin::unpack {

std::u16string ToUtf16(std::string_view text, bool* ok) {
    if (ok) *ok = true;
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    // Checked once strictly; converted leniently, so that a bad byte becomes U+FFFD.
    if (ok && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0) == 0) *ok = false;
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (units <= 0) {
        if (ok) *ok = false;
        return {};
    }
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, reinterpret_cast<wchar_t*>(out.data()), units);
    return out;
}

std::string ToUtf8(std::u16string_view text) {
    if (text.empty()) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int size = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, size, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace tavlin::unpack
