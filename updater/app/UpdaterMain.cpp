// tavlinUpdater.exe: the run behind each system's entry point (main_linux.cpp,
// main_win32.cpp).
//
// Exit status: 0 for every run that got past the admission checks; -1 (seen
// as 255 on Linux) for a second updater, a lock not acquired in time, the
// guard mutex held by another process, a missing argument, or no display
// for a window the run needs.
//
// COM needs no set-up here: the component's registration initialises it
// around its own call. A program manifest and an icon resource have no Linux
// meaning; the windows set their icon themselves.
#include "app/UpdaterMain.h"

#include "app/StopSignals.h"
#include "app/UpdaterApp.h"
#include "download/PackageKeys.h"
#include "platform/named_mutex.h"
#include "UpdateKeys.h"

int RunUpdater(void* moduleInstance, int argCount, std::u16string_view commandLine) {
    // Before any other thread: they all inherit the blocked stop signals.
    StopSignals stopSignals;
    // Every job of this run takes them: packages must be signed when the
    // program was built with keys.
    SetTrustedPackageKeys(LoadBuiltInUpdateKeys());
    // Never waited for: holding its lock marks a running updater, and a
    // second one ends at once.
    platform::NamedMutex instance;
    if (!instance.Create(kInstanceMutexName) || !instance.Acquire(0)) return -1;

    int exitCode = -1;
    {
        UpdaterApp app(moduleInstance, argCount);
        if (app.Init() && app.Run(commandLine)) exitCode = 0;
        app.guardMutex.reset();
    }
    instance.Release();
    return exitCode;
}
