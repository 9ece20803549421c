#include "win32_screen.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tavlin_window_test::win32 {

bool HaveDisplay() {
    // Wine passes the host's environment through.
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

int RunHostProgram(const std::string& program, const std::string& args, int timeoutMs) {
    // Wine starts a host program given by its path on drive Z:, but hands
    // back no process to wait for: a shell runs it and leaves its exit code
    // in a file, which is polled for.
    static std::atomic<int> serial{0};
    const std::string rcFile = "/tmp/tavlin-win32-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                               std::to_string(serial++) + ".rc";
    std::wstring rcPath = L"Z:";
    for (char c : rcFile) rcPath += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    ::DeleteFileW(rcPath.c_str());
    const std::string script = program + " " + args + "; echo $? > " + rcFile + ".tmp && mv " + rcFile + ".tmp " + rcFile;
    std::wstring cmd = L"Z:\\bin\\sh -c \"";
    for (char c : script) cmd += static_cast<wchar_t>(c);
    cmd += L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    const DWORD start = ::GetTickCount();
    for (;;) {
        std::ifstream in(rcPath.c_str());
        int code = -1;
        if (in >> code) {
            in.close();
            ::DeleteFileW(rcPath.c_str());
            return code;
        }
        if (::GetTickCount() - start > static_cast<DWORD>(timeoutMs)) return -1;
        ::Sleep(20);
    }
}

unsigned long XWindowOf(uintptr_t native) {
    return static_cast<unsigned long>(
        reinterpret_cast<uintptr_t>(::GetPropA(reinterpret_cast<HWND>(native), "__wine_x11_whole_window")));
}

std::vector<uint32_t> ScreenPixels(int x, int y, int width, int height) {
    std::vector<uint32_t> out;
    HDC screen = ::GetDC(nullptr);
    if (!screen) return out;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC mem = ::CreateCompatibleDC(screen);
    if (bitmap && mem) {
        HGDIOBJ old = ::SelectObject(mem, bitmap);
        if (::BitBlt(mem, 0, 0, width, height, screen, x, y, SRCCOPY)) {
            ::GdiFlush();
            const auto* p = static_cast<const uint32_t*>(bits);
            out.reserve(static_cast<size_t>(width) * height);
            for (int i = 0; i < width * height; ++i) out.push_back(p[i] & 0xFFFFFF);
        }
        ::SelectObject(mem, old);
    }
    if (mem) ::DeleteDC(mem);
    if (bitmap) ::DeleteObject(bitmap);
    ::ReleaseDC(nullptr, screen);
    return out;
}

std::u16string NativeTitle(uintptr_t native) {
    wchar_t buf[256] = {};
    int n = ::GetWindowTextW(reinterpret_cast<HWND>(native), buf, 256);
    return std::u16string(buf, buf + (n > 0 ? n : 0));
}

bool NativeHasIcon(uintptr_t native) {
    return ::SendMessageW(reinterpret_cast<HWND>(native), WM_GETICON, ICON_BIG, 0) != 0;
}

bool NativeTopmost(uintptr_t native) {
    return (::GetWindowLongW(reinterpret_cast<HWND>(native), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

}  // namespace tavlin_window_test::win32
