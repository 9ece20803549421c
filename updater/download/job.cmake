# The download job over the engine (worker thread, network watcher, digest),
# and tavlin-fetch's whole-job mode.
find_package(OpenSSL REQUIRED)

add_library(tavlin_updater_job STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ThreadBase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadDigest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zipDownloader.cpp
)
target_link_libraries(tavlin_updater_job PUBLIC tavlin_updater_download OpenSSL::Crypto)

target_sources(tavlin-fetch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tools/fetch_job.cpp)
target_link_libraries(tavlin-fetch PRIVATE tavlin_updater_job)
