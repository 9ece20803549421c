#include "LaunchText.h"

#include "SchemeRegistration.h"
#include "platform/text.h"

namespace launcher {

namespace {
constexpr std::size_t kParameterOffset = 8;  // "tavlin:/" before the parameter text
constexpr uint16_t kLangChinesePrc = 2052;
}  // namespace

std::optional<std::u16string> UrlParameterText(std::u16string_view commandLine) {
    const std::size_t at = commandLine.find(kSchemePrefix);
    if (at == std::u16string_view::npos) return std::nullopt;
    return std::u16string(commandLine.substr(at + kParameterOffset));
}

std::u16string StartParameterText(std::u16string_view commandLine) {
    std::optional<std::u16string> url = UrlParameterText(commandLine);
    return url ? std::move(*url) : std::u16string(commandLine);
}

std::optional<std::string> RegistrationCommand(const std::string& launcherPath) {
    const std::size_t wideChars = platform::Utf8ToUtf16(launcherPath).size();
    if (wideChars + kRegCommandExtraChars + 1 > kRegCommandChars) return std::nullopt;
    return SchemeCommand(launcherPath);
}

std::optional<std::string> PipeMessage(std::u16string_view parameterText) {
    std::string message = platform::Utf16ToSystemNarrow(parameterText);
    message.push_back('\0');
    if (message.size() > kPipeMessageBytes) return std::nullopt;
    return message;
}

QuestionText RunningClientQuestion(uint16_t languageId) {
    if (languageId == kLangChinesePrc)
        return {u"检测到程序正在运行，是否重新打开!", u"提示"};
    return {u"Another program is already in progress, start new one?", u"Prompt"};
}

}  // namespace launcher
