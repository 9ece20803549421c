// Font aliases through fontconfig.
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <mutex>

#include "platform/window/paint.h"
#include "fonts.h"

namespace platform {

namespace {

// The layouts name the Windows UI face, which Linux lacks; without the alias
// fontconfig picks a Latin-only face and Chinese text falls back glyph by
// glyph to another one.
constexpr char kAliases[] = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <alias binding="same">
    <family>微软雅黑</family>
    <prefer><family>WenQuanYi Micro Hei</family></prefer>
  </alias>
  <alias binding="same">
    <family>Microsoft YaHei</family>
    <prefer><family>WenQuanYi Micro Hei</family></prefer>
  </alias>
</fontconfig>
)";

std::once_flag g_aliasOnce;
thread_local bool t_fontMapRefreshed = false;

}  // namespace

void EnsureFontAliases() {
    std::call_once(g_aliasOnce, [] {
        FcConfig* config = FcConfigGetCurrent();
        if (config) FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kAliases), FcTrue);
    });
    if (!t_fontMapRefreshed) {
        t_fontMapRefreshed = true;
        // Pango keeps one font map per thread and caches its matches; one
        // made before the aliases existed is dropped, and the next use makes
        // a fresh one.
        pango_cairo_font_map_set_default(nullptr);
    }
}

namespace detail {

std::string ResolveFontFamily(const char* family) { return family ? family : ""; }

}  // namespace detail
}  // namespace platform

#if defined(__SANITIZE_ADDRESS__)
// fontconfig keeps its configuration and caches in encoded offsets that
// LeakSanitizer cannot follow, so every program that loads it reports
// "leaks" at exit and fails. This file is linked into every program that
// draws text, so the suppression travels with it.
// cairo's xlib backend keeps small records it makes inside cairo_fill on an
// X surface and does not free them all when the display closes. With the
// sanitizer's fast unwinding the stack of such an allocation ends in
// libcairo itself, so only the library can be named here.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libcairo.so\n"; }
#endif
