#pragma once

#include <string>

// The folder of `started`, the path the program was started by (absolute,
// or relative to the current folder), ending in "/", when it is another name
// of the folder the system names for the running program and the
// installation it implies (its parent) holds the launcher; else "" (a bare
// name found through PATH, a path naming another file, or a name of the
// folder from outside the installation). The system names the program with
// every link resolved, and the installation's folders are found from the
// program's: a work folder reached through a link (temp on another disk)
// would have a forced update unpacked beside the link's target and the
// launcher looked for there.
std::string StartedFolder(const char* started);
