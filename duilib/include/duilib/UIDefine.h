// Basic types, constants and the two callback interfaces of the UI library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/window/message_loop.h"
#include "platform/window/messages.h"
#include "platform/window/types.h"
#include "platform/window/window.h"

namespace DuiLib {

// The window system's messages, constants, timers and loops are the
// library's vocabulary too (WM_CLOSE, SetTimer, PostQuitMessage, ...).
using namespace platform;

using HWND = platform::Hwnd;
using HINSTANCE = void*;
using UINT = unsigned;
using DWORD = uint32_t;
using BOOL = int;
using POINT = platform::Point;
using RECT = platform::Rect;

struct SIZE {
    int cx = 0;
    int cy = 0;
    friend bool operator==(const SIZE&, const SIZE&) = default;
};

// Class styles.
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_DBLCLKS = 0x0008;

// Where a window's skin comes from (WindowImplBase::GetResourceType).
enum UILIB_RESOURCETYPE {
    UILIB_FILE = 1,         // files below the resource path and skin folder
    UILIB_ZIP = 2,          // a zip file below the resource path
    UILIB_RESOURCE = 3,     // single resources (not supported here)
    UILIB_ZIPRESOURCE = 4,  // a zip archive held in the program's resources
};

// Resource type under which skin archives are registered.
inline constexpr char16_t kZipResourceType[] = u"ZIPRES";
// Resource type of window icons (PNG data).
inline constexpr char16_t kIconResourceType[] = u"ICON";

// Notification types.
inline constexpr char16_t DUI_MSGTYPE_CLICK[] = u"click";
inline constexpr char16_t DUI_MSGTYPE_WINDOWINIT[] = u"windowinit";

class CControlUI;

struct TNotifyUI {
    std::u16string sType;
    CControlUI* pSender = nullptr;
    DWORD dwTimestamp = 0;
    POINT ptMouse;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Receives control events (clicks) of a window; called on the window's thread.
class INotifyUI {
public:
    virtual void Notify(TNotifyUI& msg) = 0;

protected:
    ~INotifyUI() = default;
};

// Sees every message of a window before the window handles it; setting
// bHandled stops the message there with the returned result.
class IMessageFilterUI {
public:
    virtual LRESULT MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& bHandled) = 0;

protected:
    ~IMessageFilterUI() = default;
};

// Colour as the layouts write it: "#AARRGGBB" or "#RRGGBB" (no alpha). Text
// that is not hexadecimal gives 0.
DWORD ParseColor(std::u16string_view text);
// "l,t,r,b" (missing numbers are 0).
RECT ParseRect(std::u16string_view text);
SIZE ParseSize(std::u16string_view text);
bool ParseBool(std::u16string_view text);
int ParseInt(std::u16string_view text);

}  // namespace DuiLib
