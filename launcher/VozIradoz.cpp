#include "VozIradoz.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "LaunchText.h"
#include "LauncherLog.h"
#include "PendingUpdate.h"
#include "SchemeRegistration.h"
#include "platform/language.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/text.h"
#include "unpack/Printable.h"
#include "question/AskUser.h"

namespace {

constexpr char16_t kClientExe[] = u"tavlin.exe";
constexpr const char* kClientExeNarrow = "tavlin.exe";
constexpr const char* kPipeName = "VOVAZU_tavlin";
// How long a hand-over waits for the client to take its message. A client
// that reads it answers at once; this bounds one that neither reads nor
// closes (the message then stays queued for it).
constexpr int kDeliveryWaitMs = 2000;

// Makes the launcher's own folder the current directory; failures are
// ignored (the client start and the update then use whatever is current).
void EnterLauncherFolder() {
    std::string folder;
    if (platform::GetModuleFolder(folder)) platform::SetCurrentDir(folder);
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
    // The parameters must have reached the client for a 0: a client that
    // went away, or closed the connection without reading, lost them.
    if (!pipe.Write(message->data(), message->size()) || !pipe.Finish(kDeliveryWaitMs)) return 1;
    return 0;
}

// The user's answer to the running-client question. A question that cannot
// be shown (no display, or no question box beside the launcher) answers
// like a closed box: the running client is kept.
int AskAboutRunningClient() {
    const launcher::QuestionText question = launcher::RunningClientQuestion(platform::GetUserDefaultUILanguage());
    std::string why;
    const int answer = launcher::AskUser(question.text, question.caption, launcher::kAskOkCancel, why);
    if (!why.empty())
        launcher::LogInfo(__FILE__, launcher::log_line::kQuestionUnavailable, "ConfirmNewInstance").getStream()
            << "cannot ask whether to start a new client: " << why;
    return answer;
}

// The command line as UTF-16 units (Windows hands them over as wchar_t).
template <class Char>
std::u16string CommandLineText(const Char* text) {
    if (!text) return {};
    const std::basic_string_view<Char> units(text);
    return std::u16string(units.begin(), units.end());
}

}  // namespace

int TAVLIN_ENTRY wWinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
    const bool startNew = ConfirmNewInstance();
    const std::u16string commandLine = CommandLineText(lpCmdLine);
    if (!startNew) return HandOver(commandLine);

    // Before anything else: an update that a killed run left half done.
    FinishInterruptedUpdate();
    WriteRegFun();
    EnterLauncherFolder();
    const std::u16string parameter = launcher::StartParameterText(commandLine);
    launcher::LogInfo(__FILE__, launcher::log_line::kClassPath, "wWinMain").getStream()
        << "class path: " << kClientExeNarrow;
    launcher::LogInfo(__FILE__, launcher::log_line::kParameter, "wWinMain").getStream()
        << "par: " << tavlin::unpack::Printable(cpplog::ToChsNarrow(parameter));
    ApplyPendingUpdateFiles();
    UnpackUpdateArchive();
    // A client that cannot be started is logged; the exit code stays 0.
    if (platform::ShellOpenProgram(kClientExeNarrow,
                                   platform::Utf16ToUtf8(parameter, platform::Unmappable::Replace)) == 0) {
        const int error = errno;
        launcher::LogInfo(__FILE__, launcher::log_line::kClientStartFailed, "wWinMain").getStream()
            << "cannot start " << kClientExeNarrow << ": " << std::strerror(error);
    }
    return 0;
}

bool ConfirmNewInstance() {
    bool running = false;
    if (!platform::ForEachProcess([&](const platform::ProcessEntry& p) {
            running = p.exeName == kClientExeNarrow;
            return !running;
        })) {
        KillProcessesByName(kClientExe);
        return true;
    }
    if (!running) return true;
    if (AskAboutRunningClient() != launcher::kAnswerOk) return false;
    KillProcessesByName(kClientExe);
    return true;
}

void KillProcessesByName(std::u16string name) {
    bool ok = false;
    const std::string narrow = platform::Utf16ToUtf8(name, platform::Unmappable::Fail, &ok);
    if (!ok) return;
    // One process at a time: opened (the pidfd pins it, so a PID reused
    // since the walk is never hit), ended, closed. No limit on how many.
    platform::ForEachProcess([&](const platform::ProcessEntry& p) {
        if (p.exeName == narrow) platform::ProcessHandle::OpenEntry(p).Terminate();
        return true;
    });
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
    if (!launcher::RegisterScheme(*command))
        launcher::LogInfo(__FILE__, launcher::log_line::kSetRegFailure, "WriteRegFun").getStream()
            << "set reg failure: ";
}
