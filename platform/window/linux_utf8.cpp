#include "platform/text.h"
#include "utf8.h"

namespace platform::detail {

std::string ToUtf8(std::u16string_view text) { return Utf16ToUtf8(text); }

}  // namespace platform::detail
