// Attribute value texts of the layouts.
#include <cstdlib>
#include <string>

#include "duilib/UIDefine.h"

namespace DuiLib {

namespace {

std::string Ascii(std::u16string_view text) {
    std::string s;
    for (char16_t c : text) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
}

}  // namespace

DWORD ParseColor(std::u16string_view text) {
    std::string s = Ascii(text);
    size_t start = s.find_first_not_of(" #");
    if (start == std::string::npos) return 0;
    const char* begin = s.c_str() + start;
    char* end = nullptr;
    unsigned long value = std::strtoul(begin, &end, 16);
    return end == begin ? 0 : static_cast<DWORD>(value);
}

RECT ParseRect(std::u16string_view text) {
    std::string s = Ascii(text);
    int v[4] = {0, 0, 0, 0};
    const char* p = s.c_str();
    for (int i = 0; i < 4 && *p; ++i) {
        char* end = nullptr;
        v[i] = static_cast<int>(std::strtol(p, &end, 10));
        if (end == p) break;
        p = end;
        while (*p == ',' || *p == ' ') ++p;
    }
    return RECT{v[0], v[1], v[2], v[3]};
}

SIZE ParseSize(std::u16string_view text) {
    RECT r = ParseRect(text);
    return SIZE{r.left, r.top};
}

bool ParseBool(std::u16string_view text) { return text == u"true"; }

int ParseInt(std::u16string_view text) {
    std::string s = Ascii(text);
    return static_cast<int>(std::strtol(s.c_str(), nullptr, 10));
}

}  // namespace DuiLib
