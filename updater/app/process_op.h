// Finding a running program by its executable's file name.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/process.h"

// PID of the first running process of this user (lowest PID) whose
// executable file name equals `name`, the letters A-Z compared without case;
// 0 when there is none or the process list cannot be read. Another user's
// processes are not looked at. Logs the name of every process looked at
// before the match. Any thread.
//
// With `opened`, the match is also opened there: the handle pins that very
// process, so ending it never hits a program that took its PID since. A
// match that ends before it is opened is passed over; one that cannot be
// opened for another reason is returned with an invalid handle.
pid_t FindProcess_ByName(const std::string& name, platform::ProcessHandle* opened = nullptr);
