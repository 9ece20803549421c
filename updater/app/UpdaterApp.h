// The updater's job parameters from its command line.
#pragma once

#include <string_view>

#include "app/UpdateParams.h"

// Parses the command-line text into the job record and opens the updater's
// log ("zebUpdater", level 0 only), logging the values read. Cannot fail:
// missing keys give empty values, a malformed forcedupdate gives 0.
// Main thread, before any other updater thread exists.
UpdateParams parseZipConf(std::u16string_view cmdLine);

// The path fields of the record for a program folder `moduleDir` (ending in
// "/"): zipPath, extractDir, launcherPath. A folder too shallow for a level
// gives an empty text for it.
void FillJobPaths(UpdateParams& params, std::u16string_view moduleDir);

// A decimal integer the way the C runtime reads one: leading white space,
// an optional sign, digits up to the first other character; 0 without
// digits; values beyond 32 bits saturate.
int32_t ReadDecimal(std::u16string_view text);
