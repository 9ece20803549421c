# The download job over the engine (worker thread, network watcher, digests,
# the package check), and tavlin-fetch's whole-job mode.
find_package(OpenSSL REQUIRED)

add_library(tavlin_updater_job STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ThreadBase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EvpDigest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DigestWorker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadDigest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PackageCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PackageKeys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zipDownloader.cpp
)
target_link_libraries(tavlin_updater_job PUBLIC tavlin_updater_download tavlin_signing OpenSSL::Crypto)

target_sources(tavlin-fetch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tools/fetch_job.cpp)
target_link_libraries(tavlin-fetch PRIVATE tavlin_updater_job)
