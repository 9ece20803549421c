// URL-scheme registration. Linux: a freedesktop desktop entry. Windows: the
// scheme's key in the registry's classes.
// Any thread.
#pragma once

#include <string>

namespace platform {

#ifdef _WIN32

// Where a registration went.
enum class UrlSchemeRoot {
    Machine,  // HKEY_CLASSES_ROOT (the machine's classes), when elevated
    User,     // HKEY_CURRENT_USER\Software\Classes, otherwise
};

// Writes <root>\<scheme> with its default value "URL:<name>" and an empty
// "URL Protocol" value (which marks the key as a URL scheme for browsers),
// and <root>\<scheme>\shell\open\command with `command` as its default
// value (REG_SZ, the exact text and its terminating NUL). Written on every
// call. False when the scheme is not a valid one or a key or value cannot be
// written; `where`, when given, tells the root used.
bool RegisterUrlScheme(const std::string& scheme, const std::string& name, const std::string& command,
                       UrlSchemeRoot* where = nullptr);

// The command a scheme handler is registered with: the program's path and
// the link, each in double quotes ("\"PATH\" \"%1\"").
std::string UrlSchemeCommand(const std::string& programPath);

#else

// Writes $XDG_DATA_HOME/applications/<desktopId> (default ~/.local/share)
// with MimeType=x-scheme-handler/<scheme> and Exec=<execLine>, and makes it
// the default handler of that MIME type in $XDG_CONFIG_HOME/mimeapps.list
// (default ~/.config), keeping every other line of that file. Both files are
// written to a temporary name and renamed, so a reader never sees half a
// file. False when either cannot be written.
bool RegisterUrlScheme(const std::string& scheme, const std::string& desktopId,
                       const std::string& name, const std::string& execLine);

// Quotes one argument for a desktop entry's Exec key (double quotes, with
// the characters the desktop-entry rules reserve escaped).
std::string DesktopExecQuote(const std::string& arg);

#endif

}  // namespace platform
