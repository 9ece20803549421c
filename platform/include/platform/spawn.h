// Detached program start: the shell's "open" verb.
// Any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// Starts `file` detached (not waited for, never a zombie of ours) with
// `parameters` as its ONE argument, so the program's joined command line is
// exactly `parameters`; an empty `parameters` passes no argument. A name
// without "/" is taken from the current directory, never from PATH.
// `workDir` empty keeps the current directory. Returns the child's PID, or 0
// with errno set when the program could not be started (ENOENT, EACCES, ...).
pid_t ShellOpenProgram(const std::string& file, const std::string& parameters,
                       const std::string& workDir = {});

// Opens a web address with xdg-open, detached. False when xdg-open could not
// be started.
bool ShellOpenUrl(const std::string& url);

// Starts the program `name`, looked up in PATH, detached with `args`, like
// ShellOpenProgram. Returns its PID, or 0 with errno set.
pid_t StartDetachedFromPath(const std::string& name, const std::vector<std::string>& args);

}  // namespace platform
