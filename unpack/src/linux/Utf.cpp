#include "../Utf.h"

#include "platform/text.h"

namespace tavlin::unpack {

std::u16string ToUtf16(std::string_view text, bool* ok) { return platform::Utf8ToUtf16(text, ok); }

std::string ToUtf8(std::u16string_view text) { return platform::Utf16ToUtf8(text, platform::Unmappable::Replace); }

}  // namespace tavlin::unpack
