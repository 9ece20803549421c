// What the file logger's tests share: a private temporary folder, the log
// sent below it where the system allows (else the program's own log
// folder), a file name of the test's own, and the log read back.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "file_text.h"
#include "log/FileLogger.h"
#include "log_files.h"
#include "log_root.h"
#include "temp_dir.h"

namespace updater_test {

constexpr int kDrainMs = 10000;
// "MM dd yyyy HH:mm:ss"
constexpr size_t kTimeLength = 19;

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseLogRoot(tmp_.path());
        folder_ = ProgramLogFolder(tmp_.path());
    }
    // Where the log folder is shared (Windows), this test's files go too.
    void TearDown() override {
        std::error_code ignored;
        for (const std::string& file : Files()) std::filesystem::remove(file, ignored);
    }

    std::vector<std::string> Files() const { return LogFiles(folder_, name_); }

    std::string AllText() const {
        std::string text;
        for (const std::string& file : Files()) text += tavlin_test::ReadFileText(file);
        return text;
    }

    // A record whose whole line, line end included, is `length` bytes.
    static void LogLineOfLength(FileLogger& logger, size_t length, char fill = 'x') {
        const size_t header = kTimeLength + std::string("|0|s|1|f|").size();
        ASSERT_GT(length, header);
        std::string message(length - header - 1, fill);
        logger.Log(0, "s", 1, "f", "%s", message.c_str());
    }

    tavlin_test::TempDir tmp_{"updater-log-"};
    // Named after the temporary folder, so that no earlier run's files count.
    const std::string name_ = "t-" + std::filesystem::path(tmp_.path()).filename().string();
    std::string folder_;
};

}  // namespace updater_test
