// The types of a program's entry point: on Windows the system's own, as
// wWinMain is the program's real entry point there; on Linux stand-ins of
// the same shape, so the programs declare one entry for both.
#pragma once

#ifdef _WIN32
#include <windows.h>
#define TAVLIN_ENTRY WINAPI
#else
using HINSTANCE = void*;
using LPWSTR = char16_t*;
#define TAVLIN_ENTRY
#endif
