#include "app/zebUtil.h"

#include <cstdint>
#include <thread>
#include <utility>

#include "app/process_op.h"
#include "log/FileLogger.h"
#include "platform/clock.h"
#include "platform/component.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/text.h"

namespace zeb {

namespace {

constexpr const char* kClientNames[] = {"tavlin.exe", "qelclient.exe"};
constexpr const char* kWaitedClient = "tavlin.exe";
constexpr uint32_t kWaitLimitMs = 3000;
constexpr auto kWaitStep = std::chrono::milliseconds(100);

// Written once before other threads start, read-only afterwards.
std::string& StartedFolder() {
    static std::string folder;
    return folder;
}

}  // namespace

void UseModuleFolder(std::string folder) { StartedFolder() = std::move(folder); }

std::u16string GetModuleDir() {
    if (!StartedFolder().empty()) return ToWide(StartedFolder());
    std::string folder;
    if (!platform::GetModuleFolder(folder)) return {};
    return ToWide(folder);
}

std::string ToNarrow(std::u16string_view text) {
    return platform::Utf16ToUtf8(text, platform::Unmappable::Replace);
}

std::u16string ToWide(std::string_view text) {
    return platform::Utf8ToUtf16(text);
}

bool KillOrbProcess() {
    bool killedLast = false;
    for (const char* name : kClientNames) {
        killedLast = false;
        // Found and opened in one go: the handle pins the process the walk
        // saw, and it is closed right after the kill.
        platform::ProcessHandle process;
        if (FindProcess_ByName(name, &process) == 0) {
            UPDATER_LOG(0, "air client is not running");
            continue;
        }
        if (process.Terminate()) {
            UPDATER_LOG(0, "kill air client success");
            killedLast = true;
        } else {
            UPDATER_LOG(0, "kill air client failed");
        }
    }
    return killedLast;
}

void KillOrbProcessAndWait() {
    if (!KillOrbProcess()) return;
    const uint32_t start = platform::GetTickCount();
    for (;;) {
        std::this_thread::sleep_for(kWaitStep);
        if (FindProcess_ByName(kWaitedClient) == 0) return;
        if (platform::GetTickCount() - start > kWaitLimitMs) return;
    }
}

std::u16string GetInstallDllPath(std::u16string_view folder) {
    std::u16string path(folder);
    path += u"InstallZebApp.dll";
    return path;
}

void RegisterServerDll(std::u16string_view path) {
    // Whether it succeeded changes nothing for the caller.
    (void)platform::RegisterComponentLibrary(ToNarrow(path));
}

}  // namespace zeb
