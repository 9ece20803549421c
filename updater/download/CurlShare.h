// libcurl start-up and the process-wide share object of the download engine.
#pragma once

#include <curl/curl.h>

// Shares the DNS cache between every handle of the engine, on any thread.
// Null until InitCurlShare succeeds; never released.
extern CURLSH* curlShare;

// curl_global_init(CURL_GLOBAL_ALL) and, once per process, curlShare with
// lock callbacks (libcurl requires them when handles on several threads use
// one share). Any thread; false when libcurl could not be set up.
bool InitCurlShare();
