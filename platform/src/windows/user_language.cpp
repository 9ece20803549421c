#include <windows.h>

#include "platform/language.h"

namespace platform {

uint16_t GetUserDefaultUILanguage() { return ::GetUserDefaultUILanguage(); }

}  // namespace platform
