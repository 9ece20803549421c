// Detached program start: the shell's "open" verb.
// Any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// Starts `file` detached (not waited for, never a zombie of ours) with
// `parameters` as its ONE argument, so the program's joined command line is
// exactly `parameters`; an empty `parameters` passes no argument. (Windows:
// ShellExecuteExW "open", whose parameters are the program's command line
// after its name.) A name without a folder is taken from the current
// directory, never from PATH.
// `workDir` empty keeps the current directory. Returns the child's PID, or 0
// with errno set when the program could not be started (ENOENT, EACCES, ...).
pid_t ShellOpenProgram(const std::string& file, const std::string& parameters,
                       const std::string& workDir = {});

// Opens a web address with xdg-open (Windows: ShellExecuteW "open"),
// detached. False when it could not be started.
bool ShellOpenUrl(const std::string& url);

// Starts the program `name`, looked up in PATH, detached with `args`, like
// ShellOpenProgram. Each of `args` arrives as one argument (Windows: quoted
// for CommandLineToArgvW and the C runtime; a name without an extension gets
// ".exe"). Returns its PID, or 0 with errno set.
pid_t StartDetachedFromPath(const std::string& name, const std::vector<std::string>& args);

// The command-line form of one argument: as it is when it holds no space,
// tab or double quote, else in double quotes with each quote and the
// backslashes before it (or before the closing quote) escaped, as
// CommandLineToArgvW and the C runtime read it back. Portable, so that both
// builds can test it.
std::string QuoteCommandLineArgument(const std::string& arg);

}  // namespace platform
