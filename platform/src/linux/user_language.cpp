#include "platform/language.h"

#include <cstdlib>

namespace platform {

uint16_t GetUserDefaultUILanguage() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return LanguageIdFromLocale(v);
    }
    return kDefaultLanguageId;
}

}  // namespace platform
