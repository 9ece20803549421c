// The update job: everything the updater's later steps need, filled once
// from the command line by parseZipConf (UpdaterApp.h) and then only copied.
#pragma once

#include <cstdint>
#include <string>

struct UpdateParams {
    std::string zipUrl;        // url value + "?" + md5 value
    std::string zipPath;       // <program folder>update.zip
    std::string zipMd5;        // md5 value, case kept
    std::string extractDir;    // two levels above the program folder, ending in "/"
    std::string launcherPath;  // one level above the program folder + "TavlinLaunch.exe"
    bool relaunch = false;     // true in every parsed record
    std::string pageCallParam;
    int32_t forcedUpdate = 0;  // 1: notice and stop the client first; non-zero: forced mode
    std::string newVersion;
    std::string prompt;        // lines separated by "*"
    std::string zipSha256;     // sha256 value, case kept; "": none asked for
    std::string zipSignature;  // sig value: base64 of the package's signature
};
