// The launcher's entry point and the steps it takes before starting the
// client. Main thread only.
#pragma once

#include <string>

#include "platform/entry.h"

// Start road: no client running, or the user agreed to replace it: register
// the URL scheme, move to the launcher's folder, apply a pending update and
// start "tavlin.exe" with the parameter text. Hand-over road: send the URL's
// parameter text to the running client's pipe. Returns the exit code: 0, or
// 1 when the pipe message could not be delivered.
int TAVLIN_ENTRY wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

// True for the start road: no "tavlin.exe" runs, or the user chose to
// replace it (it has then been told to end). False when the user declined.
bool ConfirmNewInstance();

// Ends every process whose executable name is exactly `name`, without
// waiting for them to go.
void KillProcessesByName(std::u16string name);

// Registers the launcher as the handler of tavlin:// links.
void WriteRegFun();
