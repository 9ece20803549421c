#include "VozIradoz.h"

#include <algorithm>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "LaunchText.h"
#include "LauncherLog.h"
#include "PendingUpdate.h"
#include "platform/language.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "platform/url_scheme.h"
#include "platform/window/message_box.h"

namespace {

constexpr char16_t kClientExe[] = u"tavlin.exe";
constexpr const char* kClientExeNarrow = "tavlin.exe";
constexpr const char* kPipeName = "VOVAZU_tavlin";
constexpr std::size_t kMaxKillHandles = 1024;

// Makes the launcher's own folder the current directory; failures are
// ignored (the client start and the update then use whatever is current).
void EnterLauncherFolder() {
    std::string path;
    if (!platform::GetModulePath(path)) return;
    const boost::filesystem::path folder = boost::filesystem::path(path).parent_path();
    if (!folder.empty()) platform::SetCurrentDir(folder.string());
}

int HandOver(std::u16string_view commandLine) {
    const std::optional<std::u16string> parameter = launcher::UrlParameterText(commandLine);
    if (!parameter) return 0;
    const std::optional<std::string> message = launcher::PipeMessage(*parameter);
    if (!message) {
        launcher::LogInfo(__FILE__, launcher::log_line::kPipeMessageTooLong, "wWinMain").getStream()
            << "pipe message too long: " << parameter->size() << " characters, nothing sent";
        return 1;
    }
    platform::PipeClient pipe;
    if (!pipe.Open(kPipeName)) return 1;
    pipe.Write(message->data(), message->size());
    pipe.Close();
    return 0;
}

}  // namespace

int wWinMain(HINSTANCE, HINSTANCE, const char16_t* lpCmdLine, int) {
    const bool startNew = ConfirmNewInstance();
    const std::u16string commandLine = lpCmdLine ? lpCmdLine : u"";
    if (!startNew) return HandOver(commandLine);

    WriteRegFun();
    EnterLauncherFolder();
    const std::u16string parameter = launcher::StartParameterText(commandLine);
    launcher::LogInfo(__FILE__, launcher::log_line::kClassPath, "wWinMain").getStream()
        << "class path: " << kClientExeNarrow;
    launcher::LogInfo(__FILE__, launcher::log_line::kParameter, "wWinMain").getStream()
        << "par: " << cpplog::ToChsNarrow(parameter);
    ApplyPendingUpdateFiles();
    UnpackUpdateArchive();
    // Whether the client could be started is not reported: the exit code
    // stays 0.
    platform::ShellOpenProgram(kClientExeNarrow,
                               platform::Utf16ToUtf8(parameter, platform::Unmappable::Replace));
    return 0;
}

bool ConfirmNewInstance() {
    std::vector<platform::ProcessEntry> processes;
    if (!platform::SnapshotProcesses(processes)) {
        KillProcessesByName(kClientExe);
        return true;
    }
    const bool running = std::any_of(processes.begin(), processes.end(), [](const auto& p) {
        return p.exeName == kClientExeNarrow;
    });
    if (!running) return true;
    const launcher::QuestionText question =
        launcher::RunningClientQuestion(platform::GetUserDefaultUILanguage());
    if (platform::MessageBoxW(nullptr, question.text, question.caption, platform::MB_OKCANCEL) !=
        platform::IDOK)
        return false;
    KillProcessesByName(kClientExe);
    return true;
}

void KillProcessesByName(std::u16string name) {
    bool ok = false;
    const std::string narrow = platform::Utf16ToUtf8(name, platform::Unmappable::Fail, &ok);
    std::vector<platform::ProcessEntry> processes;
    if (!ok || !platform::SnapshotProcesses(processes)) return;
    // Open every match first, then end them: the handles pin the processes,
    // so a PID reused in between is never hit.
    std::vector<platform::ProcessHandle> handles;
    for (const platform::ProcessEntry& p : processes) {
        if (handles.size() >= kMaxKillHandles) break;
        if (p.exeName != narrow) continue;
        platform::ProcessHandle handle = platform::ProcessHandle::Open(p.pid);
        if (handle.valid()) handles.push_back(std::move(handle));
    }
    for (platform::ProcessHandle& handle : handles) handle.Terminate();
}

void WriteRegFun() {
    std::string path;
    if (!platform::GetModulePath(path)) {
        std::printf("GetModuleFileName failed w/err 0x%08lx\n", static_cast<unsigned long>(errno));
        return;
    }
    const std::optional<std::string> command = launcher::RegistrationCommand(path);
    if (!command) {
        launcher::LogInfo(__FILE__, launcher::log_line::kSetRegPathTooLong, "WriteRegFun").getStream()
            << "set reg failure: launcher path too long";
        return;
    }
    if (!platform::RegisterUrlScheme("tavlin", "tavlin-launcher.desktop", "Tavlin Launcher", *command))
        launcher::LogInfo(__FILE__, launcher::log_line::kSetRegFailure, "WriteRegFun").getStream()
            << "set reg failure: ";
}
