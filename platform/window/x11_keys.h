// X keysyms to virtual-key codes and typed characters.
#pragma once

#include <X11/X.h>

namespace platform::x11 {

// The virtual-key code of a keysym; 0 for a key without one.
unsigned KeysymToVk(KeySym sym);
// The character a keysym types (control characters for Return, Tab,
// Backspace and Escape, as Windows reports them in WM_CHAR); 0 for none.
char32_t KeysymToChar(KeySym sym);

}  // namespace platform::x11
