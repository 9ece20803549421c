# Shared part of the mingw-w64 toolchain files. The including file sets
# TAVLIN_WIN_ARCH (i686 or x86_64) before including this one.
#
# The dependency prefix comes from, in this order: the cache variable
# TAVLIN_WIN_PREFIX, the environment variable of that name, or
# `scripts/build-windows.sh --print-prefix --arch <arch>`, which answers
# only once the prefix is complete.

set(CMAKE_SYSTEM_NAME Windows)
get_filename_component(_tavlin_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)

if(TAVLIN_WIN_ARCH STREQUAL "i686")
    set(CMAKE_SYSTEM_PROCESSOR x86)
else()
    set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()
set(TAVLIN_WIN_TRIPLE "${TAVLIN_WIN_ARCH}-w64-mingw32")

# The posix flavour: std::thread and std::mutex need winpthreads.
set(CMAKE_C_COMPILER "${TAVLIN_WIN_TRIPLE}-gcc-posix")
set(CMAKE_CXX_COMPILER "${TAVLIN_WIN_TRIPLE}-g++-posix")
set(CMAKE_RC_COMPILER "${TAVLIN_WIN_TRIPLE}-windres")
set(CMAKE_AR "/usr/bin/${TAVLIN_WIN_TRIPLE}-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "/usr/bin/${TAVLIN_WIN_TRIPLE}-ranlib" CACHE FILEPATH "")

# try_compile projects read the toolchain file again; hand them the prefix
# instead of asking the script once more.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVLIN_WIN_PREFIX)

if(NOT TAVLIN_WIN_PREFIX AND DEFINED ENV{TAVLIN_WIN_PREFIX})
    set(TAVLIN_WIN_PREFIX "$ENV{TAVLIN_WIN_PREFIX}")
endif()
if(NOT TAVLIN_WIN_PREFIX)
    execute_process(
        COMMAND bash "${_tavlin_root}/scripts/build-windows.sh" --print-prefix --arch "${TAVLIN_WIN_ARCH}"
        OUTPUT_VARIABLE TAVLIN_WIN_PREFIX
        ERROR_VARIABLE _tavlin_err
        RESULT_VARIABLE _tavlin_rc
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _tavlin_rc EQUAL 0)
        message(FATAL_ERROR "No Windows dependency prefix for ${TAVLIN_WIN_ARCH}: ${_tavlin_err}"
                            "Run scripts/build-windows.sh first.")
    endif()
endif()
set(TAVLIN_WIN_PREFIX "${TAVLIN_WIN_PREFIX}" CACHE PATH "mingw-w64 dependency prefix")
set(ENV{TAVLIN_WIN_PREFIX} "${TAVLIN_WIN_PREFIX}")

set(CMAKE_FIND_ROOT_PATH "${TAVLIN_WIN_PREFIX}" "/usr/${TAVLIN_WIN_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the prefix's .pc files and nothing of the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${TAVLIN_WIN_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The libraries are static; linking the runtime statically too leaves the
# programs without DLLs of their own to carry.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test programs (ctest, gtest_discover_tests) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_tavlin_root}/scripts/windows/wine-run.sh")
