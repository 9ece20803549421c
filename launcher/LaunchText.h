// The launcher's texts: the parameter text taken from its command line, the
// URL-scheme command, the pipe message and the question shown to the user.
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace launcher {

inline constexpr std::u16string_view kSchemePrefix = u"tavlin://";

// Text from 8 characters after the first "tavlin://" (case-sensitive) to the
// end: it begins with the second slash. Nothing when there is no such URL.
std::optional<std::u16string> UrlParameterText(std::u16string_view commandLine);

// What the client is started with: the URL's parameter text, or the whole
// command line when it holds no URL.
std::u16string StartParameterText(std::u16string_view commandLine);

// The registration's command text is limited to this many wide characters,
// NUL included: quote, path, quote, space, and a 4-character argument.
inline constexpr std::size_t kRegCommandChars = 260;
inline constexpr std::size_t kRegCommandExtraChars = 7;

// The command registered for the URL scheme (SchemeCommand). Nothing when
// the path is too long for the registration text.
std::optional<std::string> RegistrationCommand(const std::string& launcherPath);

// A pipe message, NUL included, may take at most this many bytes.
inline constexpr std::size_t kPipeMessageBytes = 10240;

// The parameter text as the system's narrow text (the client reads the
// ANSI code page on Windows) plus its NUL byte. Nothing when that
// does not fit the message limit: a message never goes out cut short.
std::optional<std::string> PipeMessage(std::u16string_view parameterText);

struct QuestionText {
    std::u16string_view text;
    std::u16string_view caption;
};

// Chinese for language 2052, English for every other language.
QuestionText RunningClientQuestion(uint16_t languageId);

}  // namespace launcher
