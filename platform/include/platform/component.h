// Self-registration of a component library that an update brings along.
// Any thread.
#pragma once

#include <string>

namespace platform {

// Loads the library at `path` and calls its "DllRegisterServer" export (no
// arguments, an HRESULT). True only when the call was made and reported
// success (a result of 0 or more). The library is unloaded again before the
// return, whatever happened.
//
// Linux: dlopen (RTLD_NOW, RTLD_LOCAL) of the shared object; a bare name is
// taken from the current folder, never from the library search path.
// Windows: COM/OLE is initialised for the calling thread around the call
// (false when that fails), and the library is loaded with
// LOAD_WITH_ALTERED_SEARCH_PATH, so its own dependencies are looked for
// beside it first, with the system's error box for a missing or broken file
// turned off for this thread only.
bool RegisterComponentLibrary(const std::string& path);

}  // namespace platform
