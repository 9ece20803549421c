// Foreign owners: the core's side (the record and its thread); the X11
// backend does the display work.
#include "platform/window/foreign.h"

#include "backend.h"
#include "core.h"
#include "utf8.h"

namespace platform {

using namespace detail;

ForeignWindow FindForeignWindow(std::u16string_view className) {
    if (className.empty()) return 0;
    Backend* be = CurrentBackend();
    return be ? be->FindForeign(ToUtf8(className)) : 0;
}

bool SetForeignOwner(Hwnd hwnd, ForeignWindow owner) {
    if (!owner) return false;
    LRESULT ok = 0;
    // The transient hint goes through the connection the window lives on.
    bool ran = CallOnWindowThread(hwnd, [&]() -> LRESULT {
        Backend* be = CurrentQueue()->backend.get();
        if (!IsOwnWindow(hwnd) || !be || !hwnd->native || !be->SetForeignOwner(hwnd, owner)) return 0;
        auto lock = CoreLock();
        hwnd->foreignOwner = owner;
        return 1;
    }, &ok);
    return ran && ok != 0;
}

ForeignWindow GetForeignOwner(Hwnd hwnd) {
    auto lock = CoreLock();
    return IsLiveLocked(hwnd) ? hwnd->foreignOwner : 0;
}

}  // namespace platform
