// URL-scheme registration as a freedesktop desktop entry.
// Any thread.
#pragma once

#include <string>

namespace platform {

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

}  // namespace platform
