# The Windows build: the folders that have their Windows side, and their
# tests, which ctest runs under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
enable_testing()
include(GoogleTest)

add_subdirectory(platform)
# TAVLIN_WIN_SKIP_PLATFORM_TESTS leaves the platform tests out while they do
# not build for Windows.
if(NOT TAVLIN_WIN_SKIP_PLATFORM_TESTS)
  add_subdirectory(tests/platform)
endif()
# TAVLIN_WIN_SKIP_WINDOW leaves the window tests out while they do not build.
if(NOT TAVLIN_WIN_SKIP_WINDOW)
  add_subdirectory(tests/window)
  add_subdirectory(duilib)
  # The updater's windows and skin; the progress window links the job and
  # the installation, which updater/ defines below.
  add_subdirectory(updater/ui)
  add_subdirectory(tests/ui)
  add_subdirectory(tests/updater_wnd)
endif()
add_subdirectory(unpack)
add_subdirectory(tests/unpack)
add_subdirectory(zlibdll)
add_subdirectory(tests/zlibdll)
add_subdirectory(client)
add_subdirectory(launcher)
add_subdirectory(tests/client_win)
# The updater's libraries below its windows (no signatures: no OpenSSL).
add_subdirectory(signing)
add_subdirectory(updater)
add_subdirectory(tests/updater_win)
# The Windows side of bench/wine/run_wine.sh; built only when asked for.
add_subdirectory(bench/wine EXCLUDE_FROM_ALL)
