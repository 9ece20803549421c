// Log records of the download engine. Every record names the source unit
// "CurlDownload" and the engine operation it belongs to, whichever of the
// engine's files holds the code, so the log reads the same however the
// engine is split into files.
#pragma once

#include <cinttypes>
#include <cstdint>

#include "log/FileLogger.h"

// "CurlDownloader Obj Ptr: 0X<address>"; pass ENGINE_ADDR(this) for it.
#define ENGINE_PTR "CurlDownloader Obj Ptr: 0X%016" PRIXPTR
#define ENGINE_ADDR(engine) reinterpret_cast<uintptr_t>(engine)

#define DOWNLOAD_LOG(function, format, ...)                                              \
    ::FileLogger::Instance()->Log(0, "CurlDownload", __LINE__, (function),              \
                                  format __VA_OPT__(, ) __VA_ARGS__)
