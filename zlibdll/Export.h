// Marks what zlib.dll exports. On Windows the list is exports.def, which
// keeps the names undecorated; elsewhere exports.map hides the rest.
#pragma once

#ifdef _WIN32
#define TAVLIN_ZLIB_EXPORT
#else
#define TAVLIN_ZLIB_EXPORT __attribute__((visibility("default")))
#endif
