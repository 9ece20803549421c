// A Windows program without a console: the C runtime hands wWinMain the
// command line after the program's name (linked with -municode).
#include <windows.h>

#include <cstdlib>
#include <string_view>

#include "app/UpdaterMain.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    const std::wstring_view text = commandLine ? commandLine : L"";
    return RunUpdater(instance, __argc,
                      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}
