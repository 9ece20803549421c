// Font families on Windows: pango's win32 font map lists what the system
// has; a face it lacks loads no font at all (every glyph a box), so a layout
// falls back to a UI face that exists.
#include <pango/pangocairo.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/window/paint.h"
#include "fonts.h"

namespace platform {

namespace {

// Faces with Chinese, the system's first; the Linux ones are what a Wine
// prefix offers through its fontconfig.
constexpr const char* kFallbacks[] = {"Microsoft YaHei", "微软雅黑", "SimSun", "宋体", "WenQuanYi Micro Hei",
                                      "Noto Sans CJK SC", "DejaVu Sans"};

std::string Folded(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The thread's font map's families, folded; pango's default font map is
// per thread.
const std::vector<std::string>& Families() {
    thread_local std::vector<std::string> names = [] {
        std::vector<std::string> out;
        PangoFontFamily** families = nullptr;
        int count = 0;
        pango_font_map_list_families(pango_cairo_font_map_get_default(), &families, &count);
        for (int i = 0; i < count; ++i)
            if (const char* name = pango_font_family_get_name(families[i])) out.push_back(Folded(name));
        g_free(families);
        return out;
    }();
    return names;
}

bool Has(const char* family) {
    const auto& names = Families();
    return std::find(names.begin(), names.end(), Folded(family)) != names.end();
}

}  // namespace

// Nothing to register: the system resolves its own faces.
void EnsureFontAliases() {}

namespace detail {

std::string ResolveFontFamily(const char* family) {
    if (family && *family && Has(family)) return family;
    for (const char* f : kFallbacks)
        if (Has(f)) return f;
    return family ? family : "";
}

}  // namespace detail
}  // namespace platform
