# The installation of a verified package: ZipDownloader::DoInstall and the
# unpacking through zlib.dll.
add_library(tavlin_updater_install STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PackageExtractor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zipInstall.cpp
)
target_link_libraries(tavlin_updater_install PUBLIC tavlin_updater_job tavlin_updater_ui tavlin_platform)
tavlin_link_zlib_dll(tavlin_updater_install)
if(WIN32)
  # windows.h (through the windows) without winsock.h, which libcurl's
  # winsock2.h must come before.
  target_compile_definitions(tavlin_updater_install PRIVATE WIN32_LEAN_AND_MEAN)
endif()
