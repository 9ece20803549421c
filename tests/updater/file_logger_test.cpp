// The file logger, checked through what reaches its files.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "log/FileLogger.h"
#include "log_files.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using updater_test::LogFiles;
using updater_test::SplitLines;

namespace {

constexpr int kDrainMs = 10000;
// "MM dd yyyy HH:mm:ss"
constexpr size_t kTimeLength = 19;

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_STATE_HOME", tmp_.path().c_str(), 1);
        folder_ = updater_test::LogFolder(tmp_.path(), fs::read_symlink("/proc/self/exe").filename().string());
    }

    std::vector<std::string> Files() const { return LogFiles(folder_, "t"); }

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
    std::string folder_;
};

TEST_F(FileLoggerTest, WritesOneLineInTheFieldOrder) {
    FileLogger logger;
    logger.Open("t");
    const time_t before = std::time(nullptr);
    logger.Log(0, "../src/CurlDownload", 123, "CurlDownloader::Start", "hello %d", 42);
    logger.Log(0, "NoFolder", 7, "f", nullptr);
    logger.Log(0, "a/b", -1, "g", "ends\n");
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::string text = AllText();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 4u);

    updater_test::Record record;
    ASSERT_TRUE(updater_test::ParseRecord(lines[0], record)) << lines[0];
    tm local{};
    ASSERT_TRUE(updater_test::ParseLogTime(record.time, local)) << lines[0];
    EXPECT_LE(std::abs(std::difftime(std::mktime(&local), before)), 5.0) << lines[0];
    EXPECT_EQ(record.level, "0");
    EXPECT_EQ(record.source, "CurlDownload");
    EXPECT_EQ(record.line, "123");
    EXPECT_EQ(record.function, "CurlDownloader::Start");
    EXPECT_EQ(record.message, "hello 42");

    const std::string time = lines[0].substr(0, kTimeLength);
    EXPECT_EQ(lines[1], time + "|0|NoFolder|7|f|");
    EXPECT_EQ(lines[2], time + "|0|b|-1|g|ends");
    EXPECT_EQ(lines[3], "");
}

TEST_F(FileLoggerTest, FiltersByExactOrMaximumLevel) {
    struct Case {
        int32_t exactLevel, maxLevel, level;
        bool kept;
    };
    const Case cases[] = {
        {-1, 0, 0, true},   {-1, 0, 2, false},  {-1, 4, 4, true},   {-1, 4, 5, false},
        {-1, 0, -5, true},  {3, 0, 3, true},    {3, 10, 2, false},  {3, -1, 3, true},
        {-1, -1, 0, false}, {-1, -1, -1, false}, {-1, -2, -3, false},
    };
    FileLogger logger;
    logger.Open("t");
    for (size_t i = 0; i < std::size(cases); ++i) {
        logger.exactLevel = cases[i].exactLevel;
        logger.maxLevel = cases[i].maxLevel;
        logger.Log(cases[i].level, "s", 1, "f", "case %zu", i);
    }
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> written = updater_test::MessagesOf(SplitLines(AllText()), "f");
    for (size_t i = 0; i < std::size(cases); ++i) {
        bool found = std::find(written.begin(), written.end(), "case " + std::to_string(i)) != written.end();
        EXPECT_EQ(found, cases[i].kept) << "case " << i << ": exact " << cases[i].exactLevel << " max "
                                        << cases[i].maxLevel << " level " << cases[i].level;
    }
}

TEST_F(FileLoggerTest, CutsMessagesAt1023Bytes) {
    struct Case {
        size_t length, written;
    };
    const Case cases[] = {{0, 0}, {1022, 1022}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
    FileLogger logger;
    logger.Open("t");
    std::vector<std::string> messages;
    for (const Case& c : cases) {
        std::string message;
        for (size_t i = 0; i < c.length; ++i) message += static_cast<char>('a' + i % 26);
        logger.Log(0, "s", 1, "f", "%s", message.c_str());
        messages.push_back(message);
    }
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> written = updater_test::MessagesOf(SplitLines(AllText()), "f");
    ASSERT_EQ(written.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(written[i], messages[i].substr(0, cases[i].written)) << "length " << cases[i].length;
    }
}

TEST_F(FileLoggerTest, StartsANewFileOnlyWhenALineWouldCrossTheLimit) {
    FileLogger logger;
    logger.SetSizeLimit(200);
    logger.Open("t");
    LogLineOfLength(logger, 100, 'a');
    LogLineOfLength(logger, 100, 'b');  // exactly 200: stays
    LogLineOfLength(logger, 50, 'c');   // 250: new file
    LogLineOfLength(logger, 150, 'd');  // exactly 200 again
    LogLineOfLength(logger, 30, 'e');   // 230: new file
    LogLineOfLength(logger, 300, 'f');  // longer than the limit: new file, alone
    LogLineOfLength(logger, 30, 'g');   // new file
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::vector<std::string> files = Files();
    const std::vector<std::string> expected = {"ab", "cd", "e", "f", "g"};
    ASSERT_EQ(files.size(), expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        std::string fills;
        for (const std::string& message : updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(files[i])), "f"))
            fills += message.at(0);
        EXPECT_EQ(fills, expected[i]) << files[i];
    }
    EXPECT_EQ(fs::file_size(files[0]), 200u);
    EXPECT_EQ(fs::file_size(files[1]), 200u);
    EXPECT_EQ(fs::file_size(files[3]), 300u);
}

TEST_F(FileLoggerTest, RotationsWithinOneTickKeepEveryFile) {
    FileLogger logger;
    logger.SetSizeLimit(60);
    logger.Open("t");
    for (int i = 0; i < 40; ++i) logger.Log(0, "s", 1, "f", "line %02d of forty, each its own file", i);
    ASSERT_TRUE(logger.Drain(kDrainMs));
    const std::vector<std::string> files = Files();
    ASSERT_EQ(files.size(), 40u);
    for (int i = 0; i < 40; ++i) {
        const auto messages = updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(files[i])), "f");
        ASSERT_EQ(messages.size(), 1u) << files[i];
        char expected[64];
        std::snprintf(expected, sizeof expected, "line %02d of forty, each its own file", i);
        EXPECT_EQ(messages[0], expected);
    }
}

TEST_F(FileLoggerTest, NoLimitKeepsOneFile) {
    FileLogger logger;
    logger.SetSizeLimit(0);
    logger.Open("t");
    for (int i = 0; i < 500; ++i) LogLineOfLength(logger, 100);
    ASSERT_TRUE(logger.Drain(kDrainMs));
    ASSERT_EQ(Files().size(), 1u);
    EXPECT_EQ(fs::file_size(Files()[0]), 50000u);
}

TEST_F(FileLoggerTest, DropsRecordsWhileNoFileIsOpen) {
    {
        FileLogger logger;
        logger.Log(0, "s", 1, "f", "before open");
        logger.Open("t");
        logger.Log(0, "s", 1, "f", "after open");
        ASSERT_TRUE(logger.Drain(kDrainMs));
        EXPECT_EQ(updater_test::MessagesOf(SplitLines(AllText()), "f"), std::vector<std::string>{"after open"});
    }
    // A state folder that is a plain file: the log folder cannot be made.
    const std::string blocked = tmp_ / "blocked";
    ASSERT_TRUE(tavlin_test::WriteFileText(blocked, ""));
    ::setenv("XDG_STATE_HOME", blocked.c_str(), 1);
    FileLogger logger;
    logger.Open("t");
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
    logger.Open("t");
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
    logger.Open("t");
    LogLineOfLength(logger, 100, 'a');
    ASSERT_TRUE(logger.Drain(kDrainMs));
    // The folder moves away and a plain file takes its name.
    ASSERT_EQ(::rename(folder_.c_str(), (folder_ + ".old").c_str()), 0);
    ASSERT_TRUE(tavlin_test::WriteFileText(folder_, ""));

    LogLineOfLength(logger, 150, 'b');  // crosses the limit: rotation fails, line lost
    logger.Drain(kDrainMs);
    LogLineOfLength(logger, 40, 'c');
    logger.Drain(kDrainMs);

    const std::vector<std::string> old = LogFiles(folder_ + ".old", "t");
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(updater_test::MessagesOf(SplitLines(tavlin_test::ReadFileText(old[0])), "f"),
              std::vector<std::string>{std::string(71, 'a')});
    EXPECT_TRUE(fs::is_regular_file(folder_));
    EXPECT_EQ(fs::file_size(folder_), 0u);
}

TEST_F(FileLoggerTest, LinesFromRacingThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2500;
    FileLogger logger;
    logger.SetSizeLimit(0);
    logger.Open("t");
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int n = 0; n < kPerThread; ++n) {
                std::string padding(static_cast<size_t>((n * 7 + t * 13) % 300), static_cast<char>('a' + t));
                logger.Log(0, "race", t, "Racer::Run", "T%d N%d %s|end", t, n, padding.c_str());
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(logger.Drain(kDrainMs));

    const std::vector<std::string> lines = SplitLines(AllText());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        updater_test::Record record;
        ASSERT_TRUE(updater_test::ParseRecord(line, record)) << line;
        // "T<t> N<n> <padding>|end"
        int t = -1, n = -1, used = 0;
        ASSERT_EQ(std::sscanf(record.message.c_str(), "T%d N%d %n", &t, &n, &used), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        const std::string rest = record.message.substr(static_cast<size_t>(used));
        const size_t padding = static_cast<size_t>((n * 7 + t * 13) % 300);
        ASSERT_EQ(rest, std::string(padding, static_cast<char>('a' + t)) + "|end") << line;
        ASSERT_EQ(record.line, std::to_string(t)) << line;
        ASSERT_EQ(n, next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
}

TEST_F(FileLoggerTest, DestructionWritesOutWhatIsQueued) {
    {
        FileLogger logger;
        logger.Open("t");
        for (int i = 0; i < 2000; ++i) logger.Log(0, "s", 1, "f", "record %d", i);
    }
    const std::vector<std::string> messages = updater_test::MessagesOf(SplitLines(AllText()), "f");
    ASSERT_EQ(messages.size(), 2000u);
    EXPECT_EQ(messages.back(), "record 1999");
}

}  // namespace
