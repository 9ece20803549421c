// Finding a running program by its executable's file name.
#pragma once

#include <sys/types.h>

#include <string>

// PID of the first running process (lowest PID) whose executable file name
// equals `name`, the letters A-Z compared without case; 0 when there is none
// or the process list cannot be read. Logs the name of every process looked
// at before the match. Any thread.
pid_t FindProcess_ByName(const std::string& name);
