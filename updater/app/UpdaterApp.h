// The updater's application object and its job parameters from the command
// line.
#pragma once

#include <memory>
#include <string_view>

#include "app/UpdateParams.h"
#include "platform/named_mutex.h"

// Named mutexes that keep updaters apart (lock files of the user's runtime
// folder).
inline constexpr char kInstanceMutexName[] = "TAVLIN_Win32_Instance_Mutex";
inline constexpr char kAutoUpdateMutexName[] = "VREK_AutoUpdate";
inline constexpr char kGuardMutexName[] = "{11B0C527-BB62-4BE3-9769-26491D9845B4}";
// How long Init waits for another process to let go of "VREK_AutoUpdate".
inline constexpr int kAutoUpdateWaitMs = 10000;

// One run of the updater, on the main thread, living on the entry point's
// stack. Init decides whether the run may go on; Run does the job. The
// mutexes taken by Init stay held until the object is destroyed, that is
// until the process ends.
class UpdaterApp {
public:
    // argCount: the C runtime's argument count (the program path included).
    UpdaterApp(void* moduleInstance, int argCount);

    // Waits up to 10 s for "VREK_AutoUpdate" (a holder that died counts as
    // gone) and keeps it; refuses when another process owns the guard mutex,
    // else takes it; then requires at least one argument. Silent: the log is
    // not open yet.
    bool Init();

    // The job: parses the command line, shows the forced-update notice and
    // stops the client when forcedupdate is 1, then runs the progress window
    // and its message loop until the window ends the run. Returns at once
    // when the command line holds no job. False only when a window it needs
    // could not be created (no display); a notice that cannot be shown
    // leaves the client running.
    bool Run(std::u16string_view cmdLine);

    // The guard mutex once created (owned); none before Init.
    std::unique_ptr<platform::NamedMutex> guardMutex;
    void* moduleInstance;

private:
    int argCount_;
    platform::NamedMutex autoUpdate_;
};

// Parses the command-line text into the job record and opens the updater's
// log ("zebUpdater", level 0 only), logging the values read. Cannot fail:
// missing keys give empty values, a malformed forcedupdate gives 0. Besides
// the six keys of every job: "sha256" (the package's SHA-256, checked when
// given) and "sig" (its signature, checked by an updater built with trusted
// keys), both taken as they are.
// Main thread, before any other updater thread exists.
UpdateParams parseZipConf(std::u16string_view cmdLine);

// The path fields of the record for a program folder `moduleDir` (ending in
// "/"; Windows: "\\" or "/"): zipPath, extractDir, launcherPath. A folder too shallow for a level
// gives an empty text for it.
void FillJobPaths(UpdateParams& params, std::u16string_view moduleDir);

// A decimal integer the way the C runtime reads one: leading white space,
// an optional sign, digits up to the first other character; 0 without
// digits; values beyond 32 bits saturate.
int32_t ReadDecimal(std::u16string_view text);
