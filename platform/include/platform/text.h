// UTF-16 <-> UTF-8 (Linux: iconv, each call with its own descriptor;
// Windows: MultiByteToWideChar / WideCharToMultiByte). UTF-8 is this
// build's "ANSI code page". Any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// What to do with a UTF-16 unit that has no UTF-8 form (an unpaired
// surrogate).
enum class Unmappable {
    Fail,     // the whole conversion fails: result empty, ok=false
    Replace,  // the unit becomes '?', as the system default character does
};

// UTF-16 to UTF-8. Stops at nothing: embedded NULs are converted too.
std::string Utf16ToUtf8(std::u16string_view text, Unmappable mode = Unmappable::Replace,
                        bool* ok = nullptr);

// UTF-16 to the system's narrow text, for peers that read it so: the ANSI
// code page on Windows, where what it cannot hold becomes its default
// character; UTF-8 on Linux (as Utf16ToUtf8 with Unmappable::Replace).
std::string Utf16ToSystemNarrow(std::u16string_view text);

// UTF-8 to UTF-16. Invalid UTF-8 sequences become U+FFFD (as
// MultiByteToWideChar without MB_ERR_INVALID_CHARS does); ok reports whether
// every byte was valid.
std::u16string Utf8ToUtf16(std::string_view text, bool* ok = nullptr);

}  // namespace platform
