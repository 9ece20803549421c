// The updater's run, called by the system's entry point.
#pragma once

#include <string_view>

// moduleInstance: the program's module handle (Windows), null on Linux,
// where the UI library finds the program's folder through /proc/self/exe.
// argCount: the C runtime's argument count (the program path included).
// commandLine: the text after the program's name. The exit status.
int RunUpdater(void* moduleInstance, int argCount, std::u16string_view commandLine);
