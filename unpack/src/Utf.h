// UTF-8 <-> UTF-16 for entry names and log text, through each platform's
// own converter.
#pragma once

#include <string>
#include <string_view>

namespace tavlin::unpack {

// Invalid UTF-8 sequences become U+FFFD; `ok` says whether every byte was valid.
std::u16string ToUtf16(std::string_view text, bool* ok = nullptr);

// An unpaired surrogate becomes a replacement character.
std::string ToUtf8(std::u16string_view text);

}  // namespace tavlin::unpack
