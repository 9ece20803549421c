#include "x11_keys.h"

#include <X11/keysym.h>

#include "platform/window/messages.h"

namespace platform::x11 {

unsigned KeysymToVk(KeySym sym) {
    if (sym >= XK_a && sym <= XK_z) return static_cast<unsigned>('A' + (sym - XK_a));
    if (sym >= XK_A && sym <= XK_Z) return static_cast<unsigned>('A' + (sym - XK_A));
    if (sym >= XK_0 && sym <= XK_9) return static_cast<unsigned>('0' + (sym - XK_0));
    if (sym >= XK_KP_0 && sym <= XK_KP_9) return static_cast<unsigned>(0x60 + (sym - XK_KP_0));
    if (sym >= XK_F1 && sym <= XK_F12) return static_cast<unsigned>(VK_F1 + (sym - XK_F1));
    switch (sym) {
    case XK_Return:
    case XK_KP_Enter: return VK_RETURN;
    case XK_Escape: return VK_ESCAPE;
    case XK_Tab:
    case XK_ISO_Left_Tab: return VK_TAB;
    case XK_space:
    case XK_KP_Space: return VK_SPACE;
    case XK_BackSpace: return VK_BACK;
    case XK_Delete:
    case XK_KP_Delete: return VK_DELETE;
    case XK_Insert:
    case XK_KP_Insert: return VK_INSERT;
    case XK_Home:
    case XK_KP_Home: return VK_HOME;
    case XK_End:
    case XK_KP_End: return VK_END;
    case XK_Prior:
    case XK_KP_Prior: return VK_PRIOR;
    case XK_Next:
    case XK_KP_Next: return VK_NEXT;
    case XK_Left:
    case XK_KP_Left: return VK_LEFT;
    case XK_Up:
    case XK_KP_Up: return VK_UP;
    case XK_Right:
    case XK_KP_Right: return VK_RIGHT;
    case XK_Down:
    case XK_KP_Down: return VK_DOWN;
    case XK_Shift_L:
    case XK_Shift_R: return VK_SHIFT;
    case XK_Control_L:
    case XK_Control_R: return VK_CONTROL;
    case XK_Alt_L:
    case XK_Alt_R: return VK_MENU;
    default: return 0;
    }
}

char32_t KeysymToChar(KeySym sym) {
    switch (sym) {
    case XK_Return:
    case XK_KP_Enter: return U'\r';
    case XK_Tab:
    case XK_ISO_Left_Tab: return U'\t';
    case XK_BackSpace: return 0x08;
    case XK_Escape: return 0x1B;
    case XK_KP_Space: return U' ';
    default: break;
    }
    if (sym >= XK_KP_0 && sym <= XK_KP_9) return static_cast<char32_t>(U'0' + (sym - XK_KP_0));
    // Latin-1 keysyms are their code points; others carry one in the low
    // 24 bits under 0x01000000.
    if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) return static_cast<char32_t>(sym);
    if ((sym & 0xFF000000) == 0x01000000) return static_cast<char32_t>(sym & 0x00FFFFFF);
    return 0;
}

}  // namespace platform::x11
