// The Windows UI face on Linux, chosen by the interface's language.
#include <strings.h>

#include "platform/language.h"
#include "platform/window/paint.h"
#include "fonts.h"

namespace platform {

namespace {

constexpr uint16_t kChinesePrc = 2052;

// The layouts name the Windows UI face, which Linux lacks. A Chinese
// interface draws all its text with WenQuanYi Micro Hei: otherwise
// fontconfig picks a Latin-only face and Chinese text falls back glyph by
// glyph to another one. Other languages keep the name, which fontconfig
// turns into its default face (a Latin sans); Chinese characters in their
// text still reach the CJK font through pango's fallback, but a window of
// Latin text never maps that 5 MB file (about 1 MB of the updater's
// resident memory).
bool IsWindowsUiFace(const char* family) {
    return strcasecmp(family, "微软雅黑") == 0 || strcasecmp(family, "Microsoft YaHei") == 0;
}

}  // namespace

// Nothing to register: the family is chosen for each layout.
void EnsureFontAliases() {}

namespace detail {

std::string ResolveFontFamily(const char* family) {
    if (!family) return "";
    if (IsWindowsUiFace(family) && GetUserDefaultUILanguage() == kChinesePrc) return "WenQuanYi Micro Hei";
    return family;
}

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
