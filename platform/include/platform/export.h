// What a loadable library needs from its system: the mark that puts a
// function into its export table (a DLL's on Windows; default visibility in
// a shared object, whose other symbols a build may hide) and the suffix of
// its file name.
#pragma once

#ifdef _WIN32
#define TAVLIN_EXPORT __declspec(dllexport)
#define TAVLIN_LIBRARY_SUFFIX ".dll"
#else
#define TAVLIN_EXPORT __attribute__((visibility("default")))
#define TAVLIN_LIBRARY_SUFFIX ".so"
#endif
