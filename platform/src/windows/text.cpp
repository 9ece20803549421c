#include "platform/text.h"

#include <windows.h>

#include <climits>

#include "utf8_sequence.h"

namespace platform {

namespace {

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

const wchar_t* W(const char16_t* p) { return reinterpret_cast<const wchar_t*>(p); }

// Converts one run; with `strict` an unpaired surrogate fails it.
bool AppendUtf8(std::u16string_view run, bool strict, std::string& out) {
    if (run.empty()) return true;
    if (run.size() > INT_MAX / 4) return false;
    const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
    const int len = static_cast<int>(run.size());
    int n = ::WideCharToMultiByte(CP_UTF8, flags, W(run.data()), len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    size_t start = out.size();
    out.resize(start + static_cast<size_t>(n));
    n = ::WideCharToMultiByte(CP_UTF8, flags, W(run.data()), len, out.data() + start, n, nullptr, nullptr);
    if (n <= 0) {
        out.resize(start);
        return false;
    }
    out.resize(start + static_cast<size_t>(n));
    return true;
}

// Converts a run already known to be valid UTF-8.
bool AppendUtf16(std::string_view run, std::u16string& out) {
    if (run.empty()) return true;
    if (run.size() > INT_MAX) return false;
    const int len = static_cast<int>(run.size());
    int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(), len, nullptr, 0);
    if (n <= 0) return false;
    size_t start = out.size();
    out.resize(start + static_cast<size_t>(n));
    n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, run.data(), len,
                              reinterpret_cast<wchar_t*>(out.data() + start), n);
    if (n <= 0) {
        out.resize(start);
        return false;
    }
    out.resize(start + static_cast<size_t>(n));
    return true;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text, Unmappable mode, bool* ok) {
    if (ok) *ok = false;
    std::string out;
    if (AppendUtf8(text, true, out)) {
        if (ok) *ok = true;
        return out;
    }
    if (mode == Unmappable::Fail) return {};
    // The system would write U+FFFD for a lone surrogate; this build's rule
    // is the '?' of the system default character, so split around them.
    out.clear();
    size_t runStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        char16_t u = text[i];
        if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
            i += 2;
            continue;
        }
        if (!IsHigh(u) && !IsLow(u)) {
            ++i;
            continue;
        }
        if (!AppendUtf8(text.substr(runStart, i - runStart), true, out)) return {};
        out.push_back('?');
        ++i;
        runStart = i;
    }
    if (!AppendUtf8(text.substr(runStart), true, out)) return {};
    if (ok) *ok = true;
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text, bool* ok) {
    if (ok) *ok = false;
    std::u16string out;
    if (AppendUtf16(text, out)) {
        if (ok) *ok = true;
        return out;
    }
    // Invalid bytes somewhere: the system's own replacement differs between
    // versions, so convert the valid runs and put one U+FFFD for each
    // maximal invalid subpart, as the other backend does.
    out.clear();
    size_t runStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        Utf8Sequence seq = NextUtf8Sequence(reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i);
        if (seq.valid) {
            i += seq.length;
            continue;
        }
        if (!AppendUtf16(text.substr(runStart, i - runStart), out)) return {};
        out.push_back(u'\xFFFD');
        i += seq.length;
        runStart = i;
    }
    if (!AppendUtf16(text.substr(runStart), out)) return {};
    return out;
}

std::string Utf16ToSystemNarrow(std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX / 4) return {};
    const int len = static_cast<int>(text.size());
    int n = ::WideCharToMultiByte(CP_ACP, 0, W(text.data()), len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    n = ::WideCharToMultiByte(CP_ACP, 0, W(text.data()), len, out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

}  // namespace platform
