// Detached program start: the shell's "open" verb.
// Any thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// Starts `file` detached (not waited for, never a zombie of ours) with
// `parameters` as its ONE argument, so the program's joined command line is
// exactly `parameters`; an empty `parameters` passes no argument. A name
// without "/" is taken from the current directory, never from PATH.
// `workDir` empty keeps the current directory. Returns the child's PID, or 0
// when the program could not be started (missing, not executable).
pid_t ShellOpenProgram(const std::string& file, const std::string& parameters,
                       const std::string& workDir = {});

// Opens a web address with xdg-open, detached. False when xdg-open could not
// be started.
bool ShellOpenUrl(const std::string& url);

}  // namespace platform
