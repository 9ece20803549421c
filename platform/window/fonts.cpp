// Text layouts.
#include <pango/pangocairo.h>

#include "platform/window/paint.h"
#include "fonts.h"
#include "utf8.h"

namespace platform {

PangoLayout* CreateTextLayout(cairo_t* cr, std::u16string_view text, const char* family, double pixelSize,
                              bool bold) {
    EnsureFontAliases();
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, detail::ResolveFontFamily(family).c_str());
    pango_font_description_set_absolute_size(desc, pixelSize * PANGO_SCALE);
    pango_font_description_set_weight(desc, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    std::string utf8 = detail::ToUtf8(text);
    pango_layout_set_text(layout, utf8.data(), static_cast<int>(utf8.size()));
    return layout;
}

}  // namespace platform
