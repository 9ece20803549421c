# The download job over the engine (worker thread, network watcher, digests,
# the package check), and tavlin-fetch's whole-job mode. Digests go through
# OpenSSL, on Windows through CNG.
if(WIN32)
  set(job_backend_sources
    ${CMAKE_CURRENT_LIST_DIR}/HashDigest_bcrypt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemThreadId_win32.cpp)
  set(job_backend_libraries bcrypt)
else()
  find_package(OpenSSL REQUIRED)
  set(job_backend_sources
    ${CMAKE_CURRENT_LIST_DIR}/HashDigest_openssl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SystemThreadId_linux.cpp)
  set(job_backend_libraries OpenSSL::Crypto)
endif()

add_library(tavlin_updater_job STATIC
  ${job_backend_sources}
  ${CMAKE_CURRENT_LIST_DIR}/HashDigestHex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ThreadBase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DigestWorker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DownloadDigest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PackageCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PackageKeys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zipDownloader.cpp
)
target_link_libraries(tavlin_updater_job PUBLIC tavlin_updater_download tavlin_signing ${job_backend_libraries})

if(TARGET tavlin-fetch)
  target_sources(tavlin-fetch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tools/fetch_job.cpp)
  target_link_libraries(tavlin-fetch PRIVATE tavlin_updater_job)
endif()
