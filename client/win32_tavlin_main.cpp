// Stand-in for the teaching client "tavlin.exe" on Windows: records how it
// was started and every message on its pipe in "tavlin.calls" beside
// itself, shows its main window (class "vostrapanel") and runs until it is
// terminated. The "args" record is the command line after the program name
// exactly as it came, which is what the launcher's parameters become.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "calls_file.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "version_file.h"
#include "win32_client_window.h"

namespace {

constexpr const char* kPipeName = "VOVAZU_tavlin";
// While another instance holds the pipe, try again this often: an old client
// that is being terminated lets go of it a moment later.
constexpr DWORD kRetryListenMs = 100;
// Each wait for a connection is bounded, so the thread sees a stop request.
constexpr int kReceiveWaitMs = 500;

std::filesystem::path PathOf(const std::string& utf8) {
    const std::u16string wide = platform::Utf8ToUtf16(utf8);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::string Utf8Of(const wchar_t* text) {
    const std::wstring_view view(text ? text : L"");
    return platform::Utf16ToUtf8(std::u16string(view.begin(), view.end()));
}

// One WriteFile per record on a handle opened for appending only, so records
// from several instances never interleave.
void Append(HANDLE file, tavlin_client::CallKind kind, std::string_view data) {
    const std::string record = tavlin_client::FormatCallRecord(kind, data);
    DWORD written = 0;
    ::WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

void ServePipe(std::stop_token stop, HANDLE calls) {
    platform::PipeServer server;
    bool serving = false;
    while (!stop.stop_requested()) {
        if (!serving) {
            serving = server.Listen(kPipeName);
            if (!serving) ::Sleep(kRetryListenMs);
            continue;
        }
        const auto begun = std::chrono::steady_clock::now();
        std::string message;
        if (server.ReceiveOne(message, kReceiveWaitMs)) {
            Append(calls, tavlin_client::CallKind::Pipe, message);
        } else if (std::chrono::steady_clock::now() - begun < std::chrono::milliseconds(kRetryListenMs)) {
            // Failed at once rather than timed out: no busy loop on a broken
            // pipe; it is made anew.
            server.Close();
            serving = false;
            ::Sleep(kRetryListenMs);
        }
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    std::string folder;
    if (!platform::GetModuleFolder(folder)) return 1;
    const std::filesystem::path callsPath = PathOf(folder + "tavlin.calls");
    platform::UniqueHandle calls(::CreateFileW(callsPath.c_str(), FILE_APPEND_DATA,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!calls) return 1;

    Append(calls.get(), tavlin_client::CallKind::Version,
           tavlin_client::ReadVersion(PathOf(folder + "version.txt")));
    Append(calls.get(), tavlin_client::CallKind::Args, Utf8Of(commandLine));

    tavlin_client::ClientWindow window;
    window.Open(instance);

    std::jthread pipe(ServePipe, calls.get());
    // Ends only on WM_QUIT; the client is normally terminated by the
    // launcher or the updater. Closing the window does not end it.
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}
