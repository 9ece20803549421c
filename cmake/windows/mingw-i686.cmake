# CMake toolchain file: i686 Windows programs with mingw-w64, against the
# dependency prefix that scripts/build-windows.sh builds, tests run under Wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/windows/mingw-i686.cmake ...
set(TAVLIN_WIN_ARCH i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
