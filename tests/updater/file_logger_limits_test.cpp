// The file logger at the limits of the system around it: no log folder, a
// file-size limit that cuts a write short, a folder that is replaced by a
// file.
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_logger_fixture.h"

namespace fs = std::filesystem;
using updater_test::FileLoggerTest;
using updater_test::kDrainMs;
using updater_test::LogFiles;
using updater_test::SplitLines;

namespace {

TEST_F(FileLoggerTest, DropsRecordsWhileNoFileIsOpen) {
    {
        FileLogger logger;
        logger.Log(0, "s", 1, "f", "before open");
        logger.Open(name_);
        logger.Log(0, "s", 1, "f", "after open");
        ASSERT_TRUE(logger.Drain(kDrainMs));
        EXPECT_EQ(updater_test::MessagesOf(SplitLines(AllText()), "f"), std::vector<std::string>{"after open"});
    }
    // A state folder that is a plain file: the log folder cannot be made.
    const std::string blocked = tmp_ / "blocked";
    ASSERT_TRUE(tavlin_test::WriteFileText(blocked, ""));
    ::setenv("XDG_STATE_HOME", blocked.c_str(), 1);
    FileLogger logger;
    logger.Open(name_);
    logger.Log(0, "s", 1, "f", "nowhere to go");
    EXPECT_TRUE(logger.Drain(kDrainMs));
    EXPECT_EQ(tavlin_test::ReadFileText(blocked), "");
}

// Restores the file-size limit of this process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
    sighandler_t oldHandler_ = SIG_DFL;
};

TEST_F(FileLoggerTest, StopsSilentlyAfterAFailedWriteKeepingWholeLines) {
    FileLogger logger;
    logger.Open(name_);
    {
        FileSizeLimit limit(150);
        ASSERT_TRUE(limit.ok());
        LogLineOfLength(logger, 100, 'a');
        ASSERT_TRUE(logger.Drain(kDrainMs));
        LogLineOfLength(logger, 100, 'b');  // only 50 bytes fit
        ASSERT_TRUE(logger.Drain(kDrainMs));
    }
    LogLineOfLength(logger, 40, 'c');
    logger.Drain(kDrainMs);

    const std::vector<std::string> files = Files();
    ASSERT_EQ(files.size(), 1u);
    const std::string text = tavlin_test::ReadFileText(files[0]);
    EXPECT_EQ(text.size(), 100u);
    EXPECT_EQ(updater_test::MessagesOf(SplitLines(text), "f"), std::vector<std::string>{std::string(71, 'a')});
}

TEST_F(FileLoggerTest, StopsSilentlyWhenTheNextFileCannotBeOpened) {
    FileLogger logger;
    logger.SetSizeLimit(200);
    logger.Open(name_);
    LogLineOfLength(logger, 100, 'a');
    ASSERT_TRUE(logger.Drain(kDrainMs));
    // The folder moves away and a plain file takes its name.
    ASSERT_EQ(::rename(folder_.c_str(), (folder_ + ".old").c_str()), 0);
    ASSERT_TRUE(tavlin_test::WriteFileText(folder_, ""));

    LogLineOfLength(logger, 150, 'b');  // crosses the limit: rotation fails, line lost
    logger.Drain(kDrainMs);
    LogLineOfLength(logger, 40, 'c');
    logger.Drain(kDrainMs);

    const std::vector<std::string> old = LogFiles(folder_ + ".old", name_);
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(old[0])), "f"),
              std::vector<std::string>{std::string(71, 'a')});
    EXPECT_TRUE(fs::is_regular_file(folder_));
    EXPECT_EQ(fs::file_size(folder_), 0u);
}

}  // namespace
