// The user's interface language as a Windows language identifier.
// Any thread; read anew at each call.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// English (United States), the answer when nothing better is known.
inline constexpr uint16_t kDefaultLanguageId = 1033;

// Linux: from LC_ALL, else LC_MESSAGES, else LANG (the first that is set and
// not empty): zh_CN -> 2052, zh_TW -> 1028, en_US -> 1033, other known
// locales their table value; "C", "POSIX", unset or unknown -> 1033.
// Windows: the system's own answer for the user.
uint16_t GetUserDefaultUILanguage();

// The table lookup behind it, for a locale name such as "zh_CN.UTF-8".
uint16_t LanguageIdFromLocale(std::string_view locale);

}  // namespace platform
